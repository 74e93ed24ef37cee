'use strict';
// Sink lifecycles that touch the whole process: the event loop, uncaught
// exceptions, worker teardown. Each scenario runs in its own child process.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('../support/child.js');

test('an open sink keeps the event loop alive until its last holder lets go', () => {
  const { status, out } = runChild(`
    const first = probe.open(() => {});
    const second = probe.share(first);
    probe.close(first);
    probe.closeLater(second, 200);  // on a native thread
    process.prependListener('exit', () => Object.assign(out, probe.stats()));
  `);
  assert.equal(status, 0);
  // Had the loop ended before the release, the sink would still be alive at
  // exit. (The releasing thread itself may still be finishing then.)
  assert.equal(out.aliveSinks, 0);
});

test('a throwing on_data is reported as uncaught and called again for later chunks', () => {
  const { status, out } = runChild(`
    out.received = [];
    out.uncaught = [];
    process.on('uncaughtException', (error) => out.uncaught.push(error.message));
    probe.stream((error, chunk) => {
      const seq = chunk.readUInt32LE(0);
      out.received.push(seq);
      if (seq === 3 || seq === 7) throw new Error('boom ' + seq);
    }, 20, 16, 0);
  `);
  assert.equal(status, 0);
  assert.deepEqual(out.received, [...Array(20).keys()]);
  assert.deepEqual(out.uncaught, ['boom 3', 'boom 7']);
});

test('without a handler, a throwing callback ends the process as an uncaught exception', () => {
  const { status, stderr } = runChild(`
    probe.queue(() => { throw new Error('thrown from on_speech_ended'); }, 'speechEnded', 1);
  `);
  assert.equal(status, 1);
  assert.match(stderr, /Error: thrown from on_speech_ended/);
});

test('terminating a worker with chunks still queued aborts its sinks cleanly', () => {
  const { status, signal, stderr, out } = runChild(`
    const { Worker } = require('node:worker_threads');
    const worker = new Worker(\`
      const { parentPort } = require('node:worker_threads');
      const { probe } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
      probe.stream(() => {
        parentPort.postMessage('delivering');
        const until = Date.now() + 60000;
        while (Date.now() < until) {}  // keep the rest queued
      }, 400, 1920, 1000);
      probe.open(() => {});  // a second sink, open and idle
    \`, { eval: true });
    worker.once('message', async () => {
      await worker.terminate();
      while (probe.stats().threads > 0) await new Promise((resolve) => setTimeout(resolve, 10));
      Object.assign(out, probe.stats());
    });
  `);
  assert.equal(signal, null, stderr);
  assert.equal(status, 0, stderr);
  assert.equal(out.aliveSinks, 0);
  assert.ok(out.refused > 0, 'the native thread kept queueing after teardown');
});
