// Types of the ES module entry (index.mjs): the named exports of index.d.ts,
// and the whole module as the default export.
import * as audio from './index.js';

export * from './index.js';
export default audio;
