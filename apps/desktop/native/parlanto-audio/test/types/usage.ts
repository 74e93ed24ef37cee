// Compiled with `tsc --noEmit -p test/types`: the typings accept the module's
// documented use and reject misuse (every @ts-expect-error must be an error).
import {
  listInputDevices,
  listOutputDevices,
  ParlantoAudioDeviceInfo,
  ParlantoAudioError,
  ParlantoAudioErrorCode,
  ParlantoCapture,
  ParlantoMicrophone,
  ParlantoSystemLoopback,
} from 'parlanto-audio';

const inputs: ParlantoAudioDeviceInfo[] = listInputDevices();
const outputs = listOutputDevices();
const label = (d: ParlantoAudioDeviceInfo): string => `${d.id} ${d.name}`;
inputs.map(label);

const mic = new ParlantoMicrophone(inputs[0]?.id);
const loopback = new ParlantoSystemLoopback(outputs.length > 0 ? outputs[0].id : null);
new ParlantoMicrophone();
new ParlantoSystemLoopback(undefined);

const chunks: Buffer[] = [];
mic.start((error, chunk) => {
  if (error) {
    const code: ParlantoAudioErrorCode = error.code;
    const reason: Error | undefined = error.cause;
    console.error(code, error.message, reason?.message);
    return;
  }
  chunks.push(chunk);
}, () => console.log('speech ended'));
loopback.start((error, chunk) => {
  if (error === null) chunks.push(chunk);
}, null);
loopback.start((_error, _chunk) => {});
// A callback that reads only the error, or nothing.
mic.start((error) => {
  if (error) console.error(error.code);
});
mic.start(() => {});
const onlyErrors = (error: Error | null): void => void error;
mic.start(onlyErrors, null);

const captures: ParlantoCapture[] = [mic, loopback];
const seconds = (capture: ParlantoCapture, bytes: number): number => bytes / (2 * capture.channels * capture.sampleRate);
captures.forEach((c) => c.stop());
seconds(mic, 96000);

try {
  mic.start(() => {});
} catch (caught) {
  const error = caught as ParlantoAudioError;
  if (error.code === 'GenericFailure') console.error(error.message);
}

// @ts-expect-error a device id is a string
new ParlantoMicrophone(42);
// @ts-expect-error sampleRate has no setter
mic.sampleRate = 44100;
// @ts-expect-error start needs a data callback
mic.start();
// @ts-expect-error not one of the codes
const wrong: ParlantoAudioErrorCode = 'ENOENT';
// @ts-expect-error the module never reports this engine status
const engineOnly: ParlantoAudioErrorCode = 'QueueFull';
void engineOnly;
// @ts-expect-error the first argument is the error, not a chunk
mic.start((chunk: Buffer) => void chunk);
// @ts-expect-error the chunk is a Buffer, not a string
mic.start((error, chunk: string) => {});
void wrong;
