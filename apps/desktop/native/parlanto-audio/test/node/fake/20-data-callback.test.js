'use strict';
// The data callback of a stream (mono, 48 kHz), fed from a native thread:
// conversion, speech-end detection and the stop flag, as JavaScript
// sees them. Runs in child processes so that everything queued has been
// delivered when the results are read.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('../support/child.js');

function capture(steps, withSpeechEnded = true) {
  const { status, stderr, out } = runChild(`
    out.chunks = [];
    out.ended = [];
    const steps = ${steps};
    probe.capture((...args) => out.chunks.push(args[1].toString('hex')),
                  ${withSpeechEnded} ? (...args) => out.ended.push(args) : null, steps);
  `);
  assert.equal(status, 0, stderr);
  return out;
}

test('float and 16-bit buffers become one little-endian chunk each', () => {
  const out = capture(`[
    { f32: Float32Array.from([1, -1, 0.5, -0.5, 2, NaN, Infinity, -Infinity, 0.1]) },
    { i16: Int16Array.from([1, -2, 32767, -32768]) },
    { i16: Int16Array.from({ length: 960 }, (_, i) => (i % 2 ? -i : i)) },
    { f32: new Float32Array(0) },
  ]`, false);
  assert.equal(out.chunks.length, 3);
  assert.equal(out.chunks[0], 'ff7f0180ff3f01c0ff7f0000ff7f0180cc0c');
  assert.equal(out.chunks[1], '0100feffff7f0080');
  const stereo = Buffer.from(out.chunks[2], 'hex');
  assert.equal(stereo.length, 1920);
  assert.equal(stereo.readInt16LE(2 * 6), 6);
  assert.equal(stereo.readInt16LE(2 * 7), -7);
});

test('speech ends once, at the first quiet buffer 420 ms of samples after the last voiced one', () => {
  // 20160 samples are 420 ms at 48 kHz.
  const out = capture(`[
    { i16: new Int16Array(480).fill(590) },
    { i16: new Int16Array(9600).fill(-589) },
    { i16: new Int16Array(480).fill(-590) },
    { i16: new Int16Array(20159).fill(589) },
    { i16: new Int16Array(1).fill(589) },
    { i16: new Int16Array(480) },
  ]`);
  assert.equal(out.chunks.length, 6);
  assert.deepEqual(out.ended, [[null, null]]);  // undefined prints as null in JSON
});

test('after the stop flag nothing is measured or delivered', () => {
  const out = capture(`[
    { f32: new Float32Array(960).fill(0.25) },
    { stop: true },
    { f32: new Float32Array(960) },
    { f32: new Float32Array(960).fill(0.25) },
  ]`);
  assert.equal(out.chunks.length, 1);
  assert.deepEqual(out.ended, []);
});

test('a stream error is one line on standard error and nothing for JavaScript', () => {
  const { status, stderr, out } = runChild(`
    probe.reportStreamError('device removed');
    out.done = true;
  `);
  assert.equal(status, 0);
  assert.equal(stderr, '[parlanto_audio] stream error: device removed\n');
  assert.deepEqual(out, { done: true });
});
