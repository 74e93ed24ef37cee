'use strict';
// The capture objects' lifecycle: start, stop, restart, failure, collection.
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  loadTestAddon, side, usualDevices, recorder, runChild, sleep, waitFor,
} = require('../support/fake-support');

const { fake, ParlantoMicrophone, ParlantoSystemLoopback } = loadTestAddon();

const tenMs = () => new Float32Array(480).fill(0.25);

test('readers describe the class defaults before start and the last stream after it', () => {
  fake.reset({
    devices: [{ key: 'usb', input: side(2, 44100) }, { key: 'mono', input: side(1, 16000) }],
    defaultInput: 'usb',
  });
  const mic = new ParlantoMicrophone();
  const loopback = new ParlantoSystemLoopback();
  assert.deepEqual([mic.sampleRate, mic.channels], [48000, 1]);
  assert.deepEqual([loopback.sampleRate, loopback.channels], [48000, 2]);

  mic.start(() => {});
  assert.deepEqual([mic.sampleRate, mic.channels], [44100, 2]);
  mic.stop();
  assert.deepEqual([mic.sampleRate, mic.channels], [44100, 2]);

  // A failed start leaves the readers and the object as they were.
  fake.reset({ devices: [] });
  assert.throws(() => mic.start(() => {}), { message: 'No default input device found' });
  assert.deepEqual([mic.sampleRate, mic.channels], [44100, 2]);

  // ...and the next start tries again from the beginning, on whatever the
  // default is now.
  fake.reset({ devices: [{ key: 'mono', input: side(1, 16000) }], defaultInput: 'mono' });
  mic.start(() => {});
  assert.deepEqual([mic.sampleRate, mic.channels], [16000, 1]);
  assert.deepEqual(fake.streams().map((s) => s.device), ['mono']);
  mic.stop();
});

test('a second start while running changes nothing', async () => {
  fake.reset(usualDevices());
  const first = recorder();
  const second = recorder();
  const mic = new ParlantoMicrophone();
  mic.start(first.onData, first.onEnded);
  assert.equal(mic.start(second.onData, second.onEnded), undefined);
  assert.equal(fake.builds().length, 1);
  assert.equal(fake.counters().streamsAlive, 1);
  fake.feed(undefined, [tenMs(), tenMs(), tenMs()]);
  await waitFor(() => first.chunks.length === 3, 'three chunks');
  await sleep(50);
  assert.equal(second.chunks.length, 0);
  mic.stop();
});

test('stop succeeds before any start and when repeated', () => {
  fake.reset(usualDevices());
  const mic = new ParlantoMicrophone();
  assert.equal(mic.stop(), undefined);
  mic.start(() => {});
  assert.equal(mic.stop(), undefined);
  assert.equal(mic.stop(), undefined);
  assert.equal(fake.counters().streamsAlive, 0);
});

test('nothing captured after stop arrives, and a restart delivers to the new callbacks', async () => {
  fake.reset(usualDevices());
  const first = recorder();
  const mic = new ParlantoMicrophone();
  mic.start(first.onData);
  // One second of 10 ms buffers at real pace, stopped after a fifth of it.
  fake.feed(undefined, new Float32Array(48000).fill(0.25), { frames: 480, speed: 1 });
  await waitFor(() => first.chunks.length >= 5, 'the first chunks');
  mic.stop();
  assert.equal(fake.counters().streamsAlive, 0);
  await sleep(100);
  const afterStop = first.chunks.length;
  await sleep(300);
  assert.equal(first.chunks.length, afterStop);
  assert.ok(afterStop < 100, `${afterStop} chunks`);

  const second = recorder();
  mic.start(second.onData);
  assert.equal(fake.builds().length, 2);
  fake.feed(undefined, [tenMs(), tenMs()]);
  await waitFor(() => second.chunks.length === 2, 'chunks of the restart');
  await sleep(50);
  assert.equal(first.chunks.length, afterStop);
  mic.stop();
});

test('a stream error reaches onData once, and the capture opens its device again by itself', async () => {
  const child = await runChild(`
    const { fake, ParlantoMicrophone } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
    fake.reset({ devices: [{ key: 'mic', input: { default: { channels: 1, sampleRate: 44100,
                 format: 'F32' } } }], defaultInput: 'mic' });
    const mic = new ParlantoMicrophone();
    const seen = [];
    mic.start((error, chunk) => {
      seen.push(error ? [error.code, error.message, chunk] : chunk.length);
      if (seen.length === 3) { mic.stop(); console.log(JSON.stringify(seen)); }
    });
    fake.feed(undefined, new Float32Array(480));
    fake.fireError(undefined, 'device unplugged');
    const feedTheNextStream = setInterval(() => {
      if (fake.builds().length === 2) { fake.feed(undefined, new Float32Array(441)); clearInterval(feedTheNextStream); }
    }, 5);
  `);
  assert.equal(child.code, 0, child.stderr);
  assert.deepEqual(JSON.parse(child.stdout),
    [960, ['GenericFailure', 'stream error: device unplugged', null], 882]);
  assert.equal(child.stderr, '[parlanto_audio] stream error: device unplugged\n');
});

test('collecting a running capture releases its stream and frees the event loop', async () => {
  const child = await runChild(`
    const { fake, ParlantoMicrophone } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
    fake.reset({ devices: [{ key: 'mic', input: { default: { channels: 1, sampleRate: 48000,
                 format: 'F32' } } }], defaultInput: 'mic' });
    let chunks = 0;
    (() => {
      const mic = new ParlantoMicrophone();
      mic.start(() => { chunks += 1; }, () => {});
    })();
    fake.feed(undefined, new Float32Array(4800), { frames: 480 });
    (async () => {
      while (chunks < 10) await new Promise((resolve) => setTimeout(resolve, 5));
      for (let i = 0; i < 20 && fake.counters().streamsAlive > 0; i += 1) {
        globalThis.gc();
        await new Promise((resolve) => setImmediate(resolve));
      }
      const { streamsAlive, streamsDropped } = fake.counters();
      console.log(JSON.stringify({ streamsAlive, streamsDropped }));
    })();
  `, { nodeArgs: ['--expose-gc'] });
  // The child ends on its own only if both thread-safe functions were released.
  assert.equal(child.code, 0, child.stderr);
  assert.deepEqual(JSON.parse(child.stdout), { streamsAlive: 0, streamsDropped: 1 });
});
