'use strict';
// The capture layer's entry points: the same functions from CommonJS and ES
// modules, and the module's own exports unchanged beside them.
const test = require('node:test');
const assert = require('node:assert/strict');

test('parlanto-audio/capture loads from CommonJS and ES modules, and leaves the module\'s exports as they were', async () => {
  const layer = require('parlanto-audio/capture');
  const esm = await import('parlanto-audio/capture');
  assert.deepEqual(Object.keys(layer), ['openCapture', 'watchDevices', 'detectSpeech']);
  assert.equal(esm.openCapture, layer.openCapture);
  assert.equal(esm.watchDevices, layer.watchDevices);
  assert.equal(esm.detectSpeech, layer.detectSpeech);
  assert.equal(esm.default, layer);

  const addon = require('parlanto-audio');
  assert.deepEqual(Object.keys(addon), ['listInputDevices', 'listOutputDevices', 'ParlantoMicrophone',
    'ParlantoSystemLoopback']);
  assert.deepEqual(Object.getOwnPropertyNames(addon), Object.keys(addon));
  const internals = Object.getOwnPropertyDescriptor(addon, Symbol.for('parlanto-audio.capture'));
  assert.equal(internals.enumerable, false);

  await assert.rejects(layer.openCapture({ bufferLimitMs: 5 }), { code: 'InvalidArg' });
  assert.throws(() => layer.watchDevices('not a function'), { code: 'InvalidArg' });
});
