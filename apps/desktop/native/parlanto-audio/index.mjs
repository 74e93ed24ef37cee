// The ES module entry: the same instance as require('parlanto-audio').
import { createRequire } from 'node:module';

const audio = createRequire(import.meta.url)('./index.js');

export const { listInputDevices, listOutputDevices, ParlantoMicrophone, ParlantoSystemLoopback } = audio;
export default audio;
