// The capture layer's typings accept its documented use and reject misuse.
import { openCapture, watchDevices, Capture, DeviceEvent, EchoEngine } from 'parlanto-audio/capture';

async function recognize(feed: (pcm: Int16Array) => void): Promise<void> {
  const capture: Capture = await openCapture({ kind: 'microphone', format: { sampleRate: 16000, channels: 1 } });
  capture.on('data', (chunk, { frame, time }) => {
    feed(new Int16Array(chunk.buffer, chunk.byteOffset, chunk.length / 2));
    console.log(frame + chunk.length / 2, time.toFixed(1));
  });
  capture.on('speech-ended', ({ frame }) => console.log(frame / capture.sampleRate));
  capture.on('drop', ({ frames, total }) => console.log(frames, total, capture.dropped));
  capture.on('error', (error) => console.error(error.code, error.message));
  capture.on('resumed', () => console.log('back'));
  for await (const chunk of capture) {
    if (chunk.length > 0) break;
  }
  await capture.stop();
  await openCapture({ kind: 'loopback', deviceId: null, bufferLimitMs: 2000, chunkMs: 0 });
  await openCapture();
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
  // @ts-expect-error the reference is named
  await openCapture({ echoCancel: {} });
  // @ts-expect-error noise suppression is on or off
  await openCapture({ echoCancel: { reference: 'default', noiseSuppression: 'high' } });
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
