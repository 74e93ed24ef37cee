/// <reference types="node" />

/** A device as the audio system lists it. Pass `id` to a capture's constructor. */
export interface ParlantoAudioDeviceInfo {
  /** The device's identifier in its text form, e.g. "source:alsa_input.usb-..." or "sink:...". */
  id: string;
  /** The human-readable name the audio system gives the device. */
  name: string;
}

/**
 * The `code` of the errors the module throws or passes to a callback: the name
 * of the Node-API status behind each. "GenericFailure" for the module's own
 * failures (devices, streams, lists); "StringExpected" for a device id that is
 * not a string; "InvalidArg" for a callback that is not a function and for a
 * method called on an object that is not a capture; "PendingException" when
 * the engine refused to make a chunk's Buffer because a JavaScript exception
 * was pending.
 */
export type ParlantoAudioErrorCode = 'GenericFailure' | 'StringExpected' | 'InvalidArg' | 'PendingException';

/**
 * An error of the module. Device and stream failures carry "GenericFailure"
 * with messages such as "No default input device found" or
 * "build_input_stream failed: " followed by the audio system's text.
 */
export interface ParlantoAudioError extends Error {
  code: ParlantoAudioErrorCode;
  /** The audio system's reason behind a fixed message, e.g. "Connection refused". */
  cause?: Error;
}

/**
 * Receives every captured chunk: signed 16-bit little-endian PCM, channels
 * interleaved, `sampleRate` frames a second, never empty. Should the module
 * fail to make the Buffer, it calls once with only an error (message
 * "Failed to create napi buffer"); later chunks arrive as usual. Each failure
 * of the running stream also comes as only an error ("GenericFailure",
 * "stream error: " + the audio system's text); the capture recovers by itself.
 */
export type ParlantoAudioDataCallback = (
  ...args: [error: null, chunk: Buffer] | [error: ParlantoAudioError, chunk: undefined]
) => void;

/** A data callback that reads only the error; `start` accepts it too. */
export type ParlantoAudioErrorOnlyCallback = (error: ParlantoAudioError | null) => void;

/** Called with `null` and `undefined` each time the speaker has stopped talking. */
export type ParlantoAudioSpeechEndedCallback = (error: null, value: undefined) => void;

/** Members shared by both capture classes. */
export interface ParlantoCapture {
  /**
   * Opens the device and starts capturing; returns once the stream runs. Without
   * `onSpeechEnded` (or with null) speech-end detection is off. Throws a
   * ParlantoAudioError; a failed start leaves the instance idle and usable.
   */
  start(onData: ParlantoAudioDataCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  start(onData: ParlantoAudioErrorOnlyCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  /** Stops capturing. Chunks queued before the stop may still arrive afterwards. */
  stop(): void;
  /** Channels of the chunks (interleaved); 1 (microphone) or 2 (loopback) until a start tells. */
  readonly channels: number;
  /** Frames a second of the chunks; 48000 until a start tells. */
  readonly sampleRate: number;
}

/**
 * Captures an input device: the given one, else the system's default input.
 * Keep the instance reachable while it captures: collecting it stops the capture.
 */
export class ParlantoMicrophone implements ParlantoCapture {
  /** @param deviceId an `id` from listInputDevices(); omitted, undefined or null for the default. */
  constructor(deviceId?: string | null);
  start(onData: ParlantoAudioDataCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  start(onData: ParlantoAudioErrorOnlyCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  stop(): void;
  readonly channels: number;
  readonly sampleRate: number;
}

/**
 * Captures what an output device plays: the given one, else the system's default output.
 * Keep the instance reachable while it captures: collecting it stops the capture.
 */
export class ParlantoSystemLoopback implements ParlantoCapture {
  /** @param deviceId an `id` from listOutputDevices(); omitted, undefined or null for the default. */
  constructor(deviceId?: string | null);
  start(onData: ParlantoAudioDataCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  start(onData: ParlantoAudioErrorOnlyCallback, onSpeechEnded?: ParlantoAudioSpeechEndedCallback | null): void;
  stop(): void;
  readonly channels: number;
  readonly sampleRate: number;
}

/** Devices that can record. Throws "GenericFailure", "input_devices: ..." when the audio system cannot list them. */
export function listInputDevices(): ParlantoAudioDeviceInfo[];
/** Devices that can play (their playback can be captured). Throws "GenericFailure", "output_devices: ...". */
export function listOutputDevices(): ParlantoAudioDeviceInfo[];
