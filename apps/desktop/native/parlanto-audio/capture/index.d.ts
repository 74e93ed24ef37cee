/// <reference types="node" />
import { EventEmitter } from 'node:events';
import type { ParlantoAudioError } from '../index';

export type CaptureKind = 'microphone' | 'loopback';

/** The PCM format chunks are delivered in. Omitted fields keep the device's. */
export interface CaptureFormat {
  /** Frames a second, 8000 to 192000 (converted with a resampler when it differs from the device's). */
  sampleRate?: number;
  /** 1 (channels averaged) or 2 (a mono device's channel on both sides). */
  channels?: 1 | 2;
}

/** Echo cancellation of a microphone against what an output device plays. */
export interface EchoCancelOptions {
  /** The output device whose playback is the echo: 'default' (the default, when omitted: the default output device, at each opening) or an `id` from listOutputDevices(). */
  reference?: 'default' | (string & {});
  /** The engine's noise suppression too (default false). */
  noiseSuppression?: boolean;
  /** The engine's automatic gain control too (default false). */
  gainControl?: boolean;
  /**
   * The engine: WebRTC's where the build has it, else speexdsp's (the default). Asking for one the build
   * lacks rejects with code "InvalidArg".
   */
  engine?: EchoEngine;
}

/** How turns are detected ('speech-started' and 'speech-ended'). */
export interface SpeechEndOptions {
  /**
   * 'voice' (default): tells a voice from noise, hum and distant talkers, at any level. 'level': the module's
   * classes' rule (a 10 ms buffer at or above 0.018 RMS is voice), exactly as before.
   */
  detector?: 'voice' | 'level';
  /** Silence after the last voiced audio that ends a turn, in ms: 100 to 10000 (default 420). */
  minSilenceMs?: number;
  /** Ends a turn that runs on this long, in ms (reason 'max-turn'): 1000 to 3600000 and more than minSilenceMs; null or omitted: no limit. */
  maxTurnMs?: number | null;
}
/** The echo canceller's engines: WebRTC audio processing, or speexdsp's canceller. */
export type EchoEngine = 'webrtc' | 'speex';

export interface OpenCaptureOptions {
  /** 'microphone' (default) records an input device, 'loopback' what an output device plays. */
  kind?: CaptureKind;
  /** An `id` from listInputDevices() / listOutputDevices() or a device event; the default device when omitted. */
  deviceId?: string | null;
  /** Without it chunks are in the device's format, exactly as the module's classes deliver them. */
  format?: CaptureFormat;
  /** Most audio kept while JavaScript is busy, in ms (default 10000); beyond it the oldest is dropped and counted. */
  bufferLimitMs?: number;
  /** Least audio, in ms, that a delivery waits for (default 40; 0: every buffer the device gives). */
  chunkMs?: number;
  /**
   * Microphones only: removes the echo of the reference output's playback before speech-end detection,
   * conversion and delivery. Without `format`, chunks are then at the canceller's rate (WebRTC's engine: the
   * device's when it is 8, 16, 32 or 48 kHz, else 48 kHz; speexdsp's: 16 kHz, or 8 kHz for a slower device).
   */
  echoCancel?: EchoCancelOptions;
  /** The application name desktop mixers show for the capture's streams (on Linux; default "parlanto_audio"). */
  appName?: string;
  /**
   * Without `deviceId` the capture follows the default device of its kind (and, with `reference: 'default'`,
   * its echo reference the default output), announcing each move with 'device-changed'. False keeps it on the
   * device it opened. Default true.
   */
  followDefault?: boolean;
  /** Turn detection; the voice detector with 420 ms of silence when omitted. */
  speechEnd?: SpeechEndOptions;
}

/** The device a capture (or its echo reference) moved to. */
export interface CaptureDeviceChange {
  /** The new device's `id`, the one a watchDevices() 'default-changed' event names. */
  deviceId: string;
  /** Its human-readable name. */
  name: string;
  /** True when the echo reference moved, false when the captured device did. */
  echoReference: boolean;
}

/** Why a turn ended. */
export type TurnEndReason = 'silence' | 'max-turn' | 'stopped' | 'interrupted';

/** A turn ended: `frame` is where the silence that ends it completed (when it became known). */
export interface SpeechEnded extends CapturePosition {
  /** The turn's first voiced frame. */
  startFrame: number;
  /** The frame after its last voiced audio: the utterance is frames startFrame to endFrame. */
  endFrame: number;
  /** 'silence'; 'max-turn' when maxTurnMs cut it; 'stopped' or 'interrupted' (the stream failed) in mid-turn. */
  reason: TurnEndReason;
}

/** Where a chunk or an event lies on the capture's sample clock. */
export interface CapturePosition {
  /** Index of the frame, in `sampleRate` frames a second from the capture's start; dropped frames count. */
  frame: number;
  /** When that frame was captured, in milliseconds on the clock of `performance.now()`. */
  time: number;
}

export interface CaptureDrop {
  /** Frames dropped since the last 'drop' event. */
  frames: number;
  /** Frames dropped since the capture opened (`capture.dropped`). */
  total: number;
}

/** A running capture, from openCapture(). */
export interface Capture extends EventEmitter, AsyncIterable<Buffer> {
  readonly kind: CaptureKind;
  /** The device captured (its `id`), as the audio system names it. */
  readonly deviceId: string;
  /** Frames a second of the chunks. */
  readonly sampleRate: number;
  /** Interleaved channels of the chunks. */
  readonly channels: number;
  /** The device's own rate and channel count (the speech-end detector measures the device's audio, or the echo canceller's). */
  readonly deviceSampleRate: number;
  readonly deviceChannels: number;
  /** With echoCancel: the `id` of the output device the reference is taken from; otherwise null. */
  readonly echoReferenceId: string | null;
  /** With echoCancel: the engine cancelling the echo; otherwise null. */
  readonly echoEngine: EchoEngine | null;
  /** Frames dropped because JavaScript did not take them within `bufferLimitMs`. */
  readonly dropped: number;
  /** True from open until stop(); a capture recovering from a stream error is still running. */
  readonly running: boolean;

  /** Stops capturing; resolves once the audio captured before the stop has been delivered. */
  stop(): Promise<void>;

  /** Signed 16-bit little-endian PCM, channels interleaved, never empty; frames continue without gaps except for drops. */
  on(event: 'data', listener: (chunk: Buffer, position: CapturePosition) => void): this;
  /** A turn began: `frame` is its first voiced frame (reported a few tens of ms later). */
  on(event: 'speech-started', listener: (position: CapturePosition) => void): this;
  /** The turn ended: `frame` is where minSilenceMs of quiet after its last voiced audio completed. Every start has one end. */
  on(event: 'speech-ended', listener: (ended: SpeechEnded) => void): this;
  /** Audio was dropped because JavaScript was busy past the buffer limit; not an error. */
  on(event: 'drop', listener: (drop: CaptureDrop) => void): this;
  /**
   * A stream error ("stream error: ..." with code "GenericFailure"), or, with echoCancel, the loss of the
   * reference output ("echo cancellation paused: ..."; the microphone passes through meanwhile). Without a
   * listener, only the standard-error line reports it.
   */
  on(event: 'error', listener: (error: ParlantoAudioError) => void): this;
  /** After a stream error the device was opened again by itself (frames go on after the gap), or echo cancellation has its reference back. */
  on(event: 'resumed', listener: () => void): this;
  /** The capture followed the default device to another one, or its echo reference the default output. */
  on(event: 'device-changed', listener: (change: CaptureDeviceChange) => void): this;
  /** The last delivery after stop() has been made. */
  on(event: 'close', listener: () => void): this;
  once(event: 'data', listener: (chunk: Buffer, position: CapturePosition) => void): this;
  once(event: 'speech-started', listener: (position: CapturePosition) => void): this;
  once(event: 'speech-ended', listener: (ended: SpeechEnded) => void): this;
  once(event: 'drop', listener: (drop: CaptureDrop) => void): this;
  once(event: 'error', listener: (error: ParlantoAudioError) => void): this;
  once(event: 'resumed', listener: () => void): this;
  once(event: 'device-changed', listener: (change: CaptureDeviceChange) => void): this;
  once(event: 'close', listener: () => void): this;

  /** The same chunks as 'data' from the moment iteration starts; ends after stop(). Breaking out leaves the capture running. */
  [Symbol.asyncIterator](): AsyncIterableIterator<Buffer>;
}

/**
 * Opens a capture without blocking the event loop; rejects with the errors the module's start() throws, and with
 * code "InvalidArg" for an unknown option or a value of the wrong type (the message names the key, and where it
 * belongs when it is misplaced: `sampleRate` is `format.sampleRate`).
 */
export function openCapture(options?: OpenCaptureOptions): Promise<Capture>;

export interface DetectSpeechOptions extends SpeechEndOptions {
  /** Frames a second of `pcm`, 8000 to 192000. */
  sampleRate: number;
  /** Interleaved channels of `pcm`, 1 to 32 (default 1). */
  channels?: number;
}

export type DetectedTurnEvent =
  | ({ type: 'speech-started' } & CapturePosition)
  | ({ type: 'speech-ended' } & SpeechEnded);

export interface DetectedTurn {
  startFrame: number;
  endFrame: number;
  /** Where the turn's end became known (the speech-ended event's frame). */
  endedFrame: number;
  reason: TurnEndReason;
}

/**
 * The capture layer's turn detector over recorded PCM (s16le in an Int16Array or Buffer, or floats at full
 * scale 1.0), the same code as a live capture's: its events in order (`time` in ms from the first frame) and
 * the turns that ended. A turn still open at the end has its speech-started only.
 */
export function detectSpeech(
  pcm: Int16Array | Float32Array | Buffer,
  options: DetectSpeechOptions,
): { events: DetectedTurnEvent[]; turns: DetectedTurn[] };

export interface DeviceEvent {
  type: 'added' | 'removed' | 'default-changed';
  /**
   * 'input' devices record (listInputDevices): open them with `kind: 'microphone'`; 'output' devices play
   * (listOutputDevices): record their playback with `kind: 'loopback'`.
   */
  kind: 'input' | 'output';
  /** The device's `id`, as the device lists give it. */
  id: string;
  /** Its human-readable name (for a removed device, the last one known). */
  name: string;
}

export interface WatchDevicesOptions {
  /** Called once if the audio system's notifications cannot be had. */
  onError?: (error: ParlantoAudioError) => void;
}

/**
 * Device notifications from the audio system; returns unwatch(). The watch keeps the process running until then.
 * Throws code "InvalidArg" for a listener that is not a function and options other than `{ onError }`.
 */
export function watchDevices(listener: (event: DeviceEvent) => void, options?: WatchDevicesOptions): () => void;
