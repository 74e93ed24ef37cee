// The capture layer for ES modules: the same objects as the CommonJS entry.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const layer = require('./index.js');

export const { openCapture, watchDevices, detectSpeech } = layer;
export default layer;
