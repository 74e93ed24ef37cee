// The capture layer's typings accept its documented use and reject misuse.
import { openCapture, watchDevices, detectSpeech, Capture, DeviceEvent, SpeechEnded, EchoEngine } from 'parlanto-audio/capture';

async function recognize(feed: (pcm: Int16Array) => void): Promise<void> {
  const capture: Capture = await openCapture({ kind: 'microphone', format: { sampleRate: 16000, channels: 1 } });
  capture.on('data', (chunk, { frame, time }) => {
    feed(new Int16Array(chunk.buffer, chunk.byteOffset, chunk.length / 2));
    console.log(frame + chunk.length / 2, time.toFixed(1));
  });
  capture.on('speech-ended', ({ frame }) => console.log(frame / capture.sampleRate));
  capture.on('speech-started', ({ frame, time }) => console.log(frame, time));
  capture.on('speech-ended', ({ startFrame, endFrame, reason }: SpeechEnded) => {
    if (reason === 'max-turn' || reason === 'silence') console.log(endFrame - startFrame);
  });
  await openCapture({ speechEnd: { detector: 'level' } });
  await openCapture({ speechEnd: { minSilenceMs: 800, maxTurnMs: 30000 } });
  await openCapture({ speechEnd: { maxTurnMs: null } });
  const offline = detectSpeech(new Int16Array(16000), { sampleRate: 16000, minSilenceMs: 600 });
  for (const event of offline.events) {
    if (event.type === 'speech-ended') console.log(event.endFrame, event.reason);
    else console.log(event.frame);
  }
  detectSpeech(Buffer.alloc(640), { sampleRate: 16000, channels: 2, detector: 'voice' });
  console.log(offline.turns.map((t) => t.endedFrame - t.endFrame));
  // @ts-expect-error not a detector
  await openCapture({ speechEnd: { detector: 'vad' } });
  // @ts-expect-error the silence is a number of ms
  await openCapture({ speechEnd: { minSilenceMs: '420' } });
  // @ts-expect-error the sample rate is required
  detectSpeech(new Int16Array(160), {});
  // @ts-expect-error PCM, not numbers
  detectSpeech([0, 1], { sampleRate: 16000 });
  // @ts-expect-error a start has no reason
  capture.on('speech-started', ({ reason }: SpeechEnded) => reason);
  capture.on('drop', ({ frames, total }) => console.log(frames, total, capture.dropped));
  capture.on('error', (error) => console.error(error.code, error.message));
  capture.on('resumed', () => console.log('back'));
  capture.on('device-changed', ({ deviceId, name, echoReference }) => console.log(deviceId, name, echoReference));
  for await (const chunk of capture) {
    if (chunk.length > 0) break;
  }
  await capture.stop();
  await openCapture({ kind: 'loopback', deviceId: null, bufferLimitMs: 2000, chunkMs: 0 });
  await openCapture();
  await openCapture({ followDefault: false });
  const cancelled = await openCapture({ kind: 'microphone', echoCancel: { reference: 'default' } });
  const reference: string | null = cancelled.echoReferenceId;
  await openCapture({ echoCancel: { reference: 'sink:speakers', noiseSuppression: true, gainControl: false } });
  void reference;
  const speex = await openCapture({ echoCancel: { reference: 'default', engine: 'speex' } });
  const engine: EchoEngine | null = speex.echoEngine;
  if (engine === 'webrtc' || engine === 'speex' || engine === null) void engine;

  // @ts-expect-error not a kind
  await openCapture({ kind: 'speaker' });
  // @ts-expect-error three channels are not offered
  await openCapture({ format: { channels: 3 } });
  // The reference defaults to the default output device.
  await openCapture({ echoCancel: {} });
  await openCapture({ appName: 'Interview Helper' });
  // @ts-expect-error the rate is part of the format
  await openCapture({ sampleRate: 16000 });
  // @ts-expect-error an application name is text
  await openCapture({ appName: 3 });
  // @ts-expect-error noise suppression is on or off
  await openCapture({ echoCancel: { reference: 'default', noiseSuppression: 'high' } });
  // @ts-expect-error following is on or off
  await openCapture({ followDefault: 'no' });
  // @ts-expect-error the engines are named
  await openCapture({ echoCancel: { reference: 'default', engine: 'aec3' } });
  // @ts-expect-error the engine in use is read-only
  speex.echoEngine = 'webrtc';
  // @ts-expect-error sampleRate is read-only
  capture.sampleRate = 8000;
  // @ts-expect-error a chunk is a Buffer
  capture.on('data', (chunk: string) => chunk);
}

const unwatch: () => void = watchDevices((event: DeviceEvent) => {
  if (event.type === 'default-changed' && event.kind === 'input') console.log(event.id, event.name);
}, { onError: (error) => console.error(error.message) });
unwatch();
// @ts-expect-error not an event type
const wrong: DeviceEvent['type'] = 'changed';
void wrong;
void recognize;
