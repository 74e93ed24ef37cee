'use strict';
// Delivery from native threads to JavaScript callbacks through real sinks.
const test = require('node:test');
const assert = require('node:assert/strict');
const { probe } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);

// A callback that records its receiver and arguments, and a promise that
// settles after `count` calls.
function recorder(count) {
  const calls = [];
  let settle;
  const done = new Promise((resolve) => { settle = resolve; });
  function callback(...args) {
    calls.push({ self: this, args });
    if (calls.length === count) settle(calls);
  }
  return { callback, done, calls };
}

const bytes = (...values) => Buffer.from(values);

test('on_data receives null and a Buffer with the exact bytes, with this undefined', async () => {
  const chunks = [bytes(1, 2), bytes(0xff, 0x7f, 0x01, 0x80), Buffer.alloc(1920, 0xab)];
  const { callback, done } = recorder(3);
  probe.queue(callback, 'chunk', chunks);
  const calls = await done;
  calls.forEach((call, i) => {
    assert.equal(call.self, undefined);
    assert.equal(call.args.length, 2);
    assert.equal(call.args[0], null);
    assert.ok(Buffer.isBuffer(call.args[1]));
    assert.deepEqual(call.args[1], chunks[i]);
  });
});

test('on_speech_ended receives null and undefined', async () => {
  const { callback, done } = recorder(2);
  probe.queue(callback, 'speechEnded', 2);
  for (const call of await done) {
    assert.equal(call.self, undefined);
    assert.deepEqual(call.args, [null, undefined]);
    assert.equal(call.args.length, 2);
  }
});

test('thousands of chunks from a native thread arrive complete and in order', async () => {
  const count = 5000;
  const { callback, done } = recorder(count);
  probe.stream(callback, count, 1920, 0);
  const calls = await done;
  calls.forEach((call, i) => {
    assert.equal(call.args[1].readUInt32LE(0), i);
    assert.equal(call.args[1].length, 1920);
    assert.equal(call.args[1][1919], i & 0xff);
  });
});

test('where external buffers are refused, on_data receives copies with the same bytes', async (t) => {
  probe.setBufferRefusal('external');
  t.after(() => probe.setBufferRefusal('none'));
  const chunks = [bytes(9, 8, 7, 6), Buffer.alloc(4096, 0x5a)];
  const { callback, done } = recorder(2);
  probe.queue(callback, 'chunk', chunks);
  const calls = await done;
  calls.forEach((call, i) => assert.deepEqual(call.args, [null, chunks[i]]));
});

test('a chunk whose Buffer cannot be made arrives as an Error; the next chunk as usual', async (t) => {
  probe.setBufferRefusal('externalAndCopy');
  t.after(() => probe.setBufferRefusal('none'));
  const calls = [];
  let settle;
  const done = new Promise((resolve) => { settle = resolve; });
  probe.queue((...args) => {
    calls.push(args);
    probe.setBufferRefusal('none');  // before the next record is converted
    if (calls.length === 2) settle();
  }, 'chunk', [bytes(1, 2), bytes(3, 4)]);
  await done;
  assert.equal(calls[0].length, 1);
  assert.ok(calls[0][0] instanceof Error);
  assert.equal(calls[0][0].message, 'Failed to create napi buffer');
  assert.equal(calls[0][0].code, 'GenericFailure');
  assert.deepEqual(calls[1], [null, bytes(3, 4)]);
});

test('a value that is not a function is refused and leaves no sink behind', () => {
  const before = probe.stats().aliveSinks;
  for (const value of [42, 'on_data', {}, null]) {
    assert.throws(() => probe.open(value), (error) => {
      assert.equal(error.code, 'InvalidArg');
      assert.equal(error.message, '');
      return true;
    });
  }
  assert.equal(probe.stats().aliveSinks, before);
});

test('calls queued before the last holder lets go are still delivered', async () => {
  const { callback, done } = recorder(2);
  const first = probe.open(callback);
  const second = probe.share(first);
  probe.send(first, bytes(1, 1));
  probe.close(first);
  probe.send(second, bytes(2, 2));
  probe.close(second);
  const calls = await done;  // two native threads: in either order
  const received = calls.map((call) => call.args[1]).sort(Buffer.compare);
  assert.deepEqual(received, [bytes(1, 1), bytes(2, 2)]);
  while (probe.stats().threads > 0) await new Promise((resolve) => setImmediate(resolve));
  assert.equal(probe.stats().aliveSinks, 0);
});
