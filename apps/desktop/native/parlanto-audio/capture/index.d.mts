// The capture layer's typings for ES modules: the same declarations as the
// CommonJS entry's, and the layer's object as the default export.
import * as layer from './index.js';

export * from './index.js';
export default layer;
