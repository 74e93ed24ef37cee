// The ES module entry: the same instance as require('parlanto-sidecar').
import { createRequire } from 'node:module';

const sidecar = createRequire(import.meta.url)('./index.js');

export const {
  createSidecar, sidecarPath, SidecarClient, SidecarError, lineSplitter, parseFunctionCall, formatFunctionCall,
} = sidecar;
export default sidecar;
