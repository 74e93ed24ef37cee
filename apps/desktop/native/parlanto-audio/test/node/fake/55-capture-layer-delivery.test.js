'use strict';
// The capture layer's delivery on the fake host: buffers that arrive while
// JavaScript is blocked are joined into one chunk, chunkMs holds small ones
// back, past bufferLimitMs the oldest frames are dropped and counted, the
// async iterator joins and bounds what its loop has not taken, the sample
// clock runs on across a stream opened again after an error, and
// watchDevices tells of devices added, removed and made default until
// unwatch. The devices give 16-bit samples, so every byte can be checked.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { side, usualDevices, sleep, waitFor, runChild } = require('../support/fake-support');

process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
const addon = require(process.env.PARLANTO_AUDIO_ADDON);
const { fake } = addon;
const { openCapture, watchDevices } = require('../../../capture');

// Sample i of the whole capture (frame * channels + channel) has a value of
// its own, so a chunk shows which frames it holds.
function ramp(firstFrame, frames, channels = 1) {
  const samples = new Int16Array(frames * channels);
  for (let i = 0; i < samples.length; i++) samples[i] = ((firstFrame * channels + i) % 65536) - 32768;
  return samples;
}
const bytes = (samples) => Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);

function devices(...list) {
  return { devices: list, defaultInput: list[0].key };
}
const i16 = (key, channels, sampleRate) => ({ key, name: key, input: side(channels, sampleRate, 'I16') });

const streamOf = (key) => fake.streams().filter((s) => s.device === key).at(-1);

// Feeds the buffers and keeps the JavaScript thread busy until the device's
// thread has handed every one of them to the capture.
function feedBlocked(key, samples, frames) {
  fake.feed(key, samples, { frames });
  const deadline = performance.now() + 10000;
  while (streamOf(key).pending > 0) {
    if (performance.now() > deadline) throw new Error(`the fake host did not deliver to ${key}`);
  }
}

// Feeds the buffers with the event loop free.
async function feedFree(key, samples, options) {
  fake.feed(key, samples, options);
  await waitFor(() => streamOf(key).pending === 0, `the buffers of ${key}`);
}

// What a capture emitted, in order.
function record(capture) {
  const log = { data: [], drops: [], errors: [], order: [], resumed: 0 };
  capture.on('data', (chunk, { frame, time }) => {
    log.data.push({ chunk, frame, time, frames: chunk.length / 2 / capture.channels });
    log.order.push('data');
  });
  capture.on('drop', (drop) => {
    log.drops.push(drop);
    log.order.push('drop');
  });
  capture.on('error', (error) => {
    log.errors.push(error.message);
    log.order.push('error');
  });
  capture.on('resumed', () => {
    log.resumed++;
    log.order.push('resumed');
  });
  capture.on('close', () => log.order.push('close'));
  log.frames = () => log.data.reduce((sum, d) => sum + d.frames, 0);
  return log;
}

// No chunk starts before the one before it ended (no frame is used twice),
// and the frames jump forward at most `gapsAllowed` times.
function assertClock(log, { gapsAllowed = 0 } = {}) {
  let gaps = 0;
  for (let i = 1; i < log.data.length; i++) {
    const end = log.data[i - 1].frame + log.data[i - 1].frames;
    assert.ok(log.data[i].frame >= end, `chunk ${i} at frame ${log.data[i].frame} reuses frames before ${end}`);
    if (log.data[i].frame !== end) gaps++;
  }
  assert.ok(gaps <= gapsAllowed, `${gaps} jumps in the frames`);
}

test('buffers that arrive while JavaScript is blocked come as one chunk, every frame in order', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ chunkMs: 0 });
  const log = record(capture);
  try {
    // The thread free: each buffer is a delivery of its own.
    await feedFree('mic', ramp(0, 160));
    await waitFor(() => log.frames() === 160, 'the first buffer');
    await feedFree('mic', ramp(160, 160));
    await waitFor(() => log.frames() === 320, 'the second buffer');
    assert.deepEqual(log.data.map((d) => [d.frame, d.frames]), [[0, 160], [160, 160]]);

    // Blocked: 25 buffers of 10 ms join into one call and one Buffer.
    feedBlocked('mic', ramp(320, 4000), 160);
    await waitFor(() => log.frames() === 4320, 'the backlog');
    assert.equal(log.data.length, 3);
    assert.equal(log.data[2].frame, 320);
    assert.ok(log.data[2].chunk.equals(bytes(ramp(320, 4000))), 'the joined chunk holds the buffers in order');
    assert.ok(log.data[0].chunk.equals(bytes(ramp(0, 160))));
  } finally {
    await capture.stop();
  }
  assert.deepEqual(log.drops, []);
  assert.equal(capture.dropped, 0);
  assert.deepEqual(log.errors, []);
});

test('chunkMs holds small buffers back until enough audio has come; stop() still delivers what was held', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ chunkMs: 100 });
  const log = record(capture);
  try {
    // 15 buffers of 100 frames, each taken by the capture with the event
    // loop free: 1500 frames, less than the 1600 of 100 ms.
    for (let i = 0; i < 15; i++) await feedFree('mic', ramp(i * 100, 100));
    assert.equal(log.data.length, 0, 'nothing below chunkMs');
    await feedFree('mic', ramp(1500, 100));
    await waitFor(() => log.data.length === 1, 'the first chunk');
    assert.equal(log.data[0].frame, 0);
    assert.ok(log.data[0].chunk.equals(bytes(ramp(0, 1600))), 'the first delivery holds the 16 buffers');

    // 70 ms more, held back; stop() sends them before it resolves.
    for (let i = 0; i < 7; i++) await feedFree('mic', ramp(1600 + i * 100, 100));
  } finally {
    await capture.stop();
  }
  assert.deepEqual(log.order, ['data', 'data', 'close'], "the held audio comes before 'close'");
  assert.equal(log.data[1].frame, 1600);
  assert.ok(log.data[1].chunk.equals(bytes(ramp(1600, 700))));
  assert.deepEqual(log.errors, []);
});

test('past bufferLimitMs the oldest frames are dropped: the newest arrive, each drop announced before its chunk with frames and total', async () => {
  fake.reset(devices(i16('line', 2, 16000)));
  // 100 ms at 16 kHz: 1600 frames (6400 bytes of stereo).
  const capture = await openCapture({ bufferLimitMs: 100, chunkMs: 0 });
  const log = record(capture);
  try {
    // Exactly the bound: nothing dropped.
    feedBlocked('line', ramp(0, 1600, 2), 160);
    await waitFor(() => log.frames() === 1600, 'the bound');
    assert.deepEqual(log.drops, []);

    // One frame past it: one frame dropped, the oldest.
    feedBlocked('line', ramp(1600, 1601, 2), 160);
    await waitFor(() => log.data.length === 2, 'the second backlog');
    assert.deepEqual(log.drops, [{ frames: 1, total: 1 }]);
    assert.equal(capture.dropped, 1);
    assert.equal(log.data[1].frame, 1601);
    assert.ok(log.data[1].chunk.equals(bytes(ramp(1601, 1600, 2))), 'the newest 1600 frames, whole frames');

    // 5000 frames: 3400 dropped; the total runs on.
    feedBlocked('line', ramp(3201, 5000, 2), 160);
    await waitFor(() => log.data.length === 3, 'the third backlog');
    assert.deepEqual(log.drops, [{ frames: 1, total: 1 }, { frames: 3400, total: 3401 }]);
    assert.equal(capture.dropped, 3401);
    assert.equal(log.data[2].frame, 6601);
    assert.ok(log.data[2].chunk.equals(bytes(ramp(6601, 1600, 2))));

    // With the thread free again, the next buffer follows on the clock.
    await feedFree('line', ramp(8201, 160, 2));
    await waitFor(() => log.data.length === 4, 'audio after the drops');
    assert.equal(log.data[3].frame, 8201);
    assert.ok(log.data[3].chunk.equals(bytes(ramp(8201, 160, 2))));
  } finally {
    await capture.stop();
  }
  assert.deepEqual(log.order, ['data', 'drop', 'data', 'drop', 'data', 'data', 'close']);
  assert.equal(Math.max(...log.data.map((d) => d.frames)), 1600);
  assert.equal(log.data[1].frame, log.data[0].frame + 1600 + 1, 'the clock skips the dropped frames');
  assert.deepEqual(log.errors, []);
});

test('a capture converted to 16 kHz bounds and counts drops in its own frames, not the device\'s', async () => {
  fake.reset(devices({ key: 'mic', name: 'mic', input: side(1, 48000) }));
  const capture = await openCapture({ format: { sampleRate: 16000 }, bufferLimitMs: 100, chunkMs: 0 });
  const log = record(capture);
  try {
    // 500 ms of device audio: about 8000 frames at 16 kHz.
    const tone = new Float32Array(24000).map((_, i) => 0.5 * Math.sin((2 * Math.PI * 440 * i) / 48000));
    feedBlocked('mic', tone, 480);
    await waitFor(() => log.data.length === 1, 'the backlog');
  } finally {
    await capture.stop();
  }
  assert.equal(log.data.length, 1);
  const [chunk] = log.data;
  assert.equal(chunk.frames, 1600, 'the bound is 100 ms of the delivered format');
  assert.equal(log.drops.length, 1);
  assert.equal(log.drops[0].frames, capture.dropped);
  assert.equal(chunk.frame, capture.dropped, 'the chunk starts after the dropped frames');
  // The resampler keeps back a few milliseconds of its filter's delay.
  const total = capture.dropped + chunk.frames;
  assert.ok(total > 7900 && total <= 8000, `${total} frames at 16 kHz for 24000 at 48 kHz`);
});

test('the async iterator joins what its loop has not taken, drops the oldest past bufferLimitMs, and ends after stop()', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ bufferLimitMs: 100, chunkMs: 0 });
  const log = record(capture);
  const iterator = capture[Symbol.asyncIterator]();
  try {
    await feedFree('mic', ramp(0, 160));
    const first = await iterator.next();
    assert.ok(first.value.equals(bytes(ramp(0, 160))));

    // Five deliveries while the loop is elsewhere: one joined value.
    for (let i = 1; i <= 5; i++) {
      await feedFree('mic', ramp(i * 160, 160));
      await waitFor(() => log.data.length === i + 1, `delivery ${i}`);
    }
    const joined = await iterator.next();
    assert.ok(joined.value.equals(bytes(ramp(160, 800))), 'the five chunks, joined in order');
    assert.equal(capture.dropped, 0);

    // Twenty more (3200 frames): past the 1600 frames of the bound the
    // iterator drops its oldest; the 'data' listener still has every frame.
    for (let i = 0; i < 20; i++) {
      await feedFree('mic', ramp(960 + i * 160, 160));
      await waitFor(() => log.data.length === 7 + i, `delivery ${7 + i}`);
    }
    assert.equal(log.frames(), 4160);
    assert.equal(capture.dropped, 1600);
    assert.equal(log.drops.reduce((sum, d) => sum + d.frames, 0), 1600);
    assert.equal(log.drops.at(-1).total, 1600);
    const newest = await iterator.next();
    assert.ok(newest.value.equals(bytes(ramp(2560, 1600))), 'the newest 1600 frames');

    // A chunk queued before stop() is still given; then the iteration ends.
    await feedFree('mic', ramp(4160, 160));
    await waitFor(() => log.data.length === 27, 'the last delivery');
  } finally {
    await capture.stop();
  }
  const last = await iterator.next();
  assert.ok(last.value.equals(bytes(ramp(4160, 160))));
  assert.deepEqual(await iterator.next(), { value: undefined, done: true });
  assert.deepEqual(log.errors, []);
});

test('breaking out of a for-await loop leaves the capture running, and the loop it left counts no drops', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ bufferLimitMs: 100, chunkMs: 0 });
  const log = record(capture);
  try {
    fake.feed('mic', ramp(0, 160));
    for await (const chunk of capture) {
      assert.ok(chunk.equals(bytes(ramp(0, 160))));
      break;
    }
    assert.equal(capture.running, true);
    // 3200 frames, twice the bound, nobody iterating.
    for (let i = 1; i <= 20; i++) {
      await feedFree('mic', ramp(i * 160, 160));
      await waitFor(() => log.data.length === i + 1, `delivery ${i}`);
    }
    assert.equal(capture.dropped, 0);
    assert.deepEqual(log.drops, []);
    // A new loop starts from the next chunk.
    const iterator = capture[Symbol.asyncIterator]();
    const next = iterator.next();
    await feedFree('mic', ramp(3360, 160));
    assert.ok((await next).value.equals(bytes(ramp(3360, 160))));
    await iterator.return();
  } finally {
    await capture.stop();
  }
});

test('after a stream error the device is opened again and the frames go on past the gap, with time true to the monotonic clock', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ chunkMs: 0 });
  const log = record(capture);
  let oldSerial;
  let newSerial;
  let t0;
  let t1;
  let tEnd;
  try {
    // 200 ms at the device's pace.
    t0 = performance.now();
    fake.feed('mic', ramp(0, 3200), { frames: 160, speed: 1 });
    await waitFor(() => log.frames() === 3200, 'the first stream\'s audio');
    oldSerial = streamOf('mic').serial;
    fake.fireError('mic', 'device unplugged');
    await waitFor(() => log.resumed === 1, 'resumed');
    newSerial = streamOf('mic').serial;
    // Nothing is captured for at least 300 ms.
    await sleep(300);
    t1 = performance.now();
    fake.feed('mic', ramp(3200, 1600), { frames: 160, speed: 1 });
    await waitFor(() => log.frames() === 4800, 'the second stream\'s audio');
    tEnd = performance.now();
  } finally {
    await capture.stop();
  }
  assert.notEqual(newSerial, oldSerial, 'a new stream');
  assert.deepEqual(log.errors, ['stream error: device unplugged']);
  assertClock(log, { gapsAllowed: 1 });

  const before = log.data.filter((d) => d.frame < 3200);
  const after = log.data.filter((d) => d.frame >= 3200);
  assert.ok(Buffer.concat(before.map((d) => d.chunk)).equals(bytes(ramp(0, 3200))), 'the first stream\'s audio, whole');
  assert.ok(Buffer.concat(after.map((d) => d.chunk)).equals(bytes(ramp(3200, 1600))), 'the second stream\'s audio, whole');
  assert.equal(before[0].frame, 0);

  const gapFrames = after[0].frame - 3200;
  const gapMs = (gapFrames * 1000) / 16000;
  // The first stream's audio began no sooner than t0 and lasted 200 ms; the
  // second stream's began no sooner than t1, at least 300 ms after the first
  // ended, and was in hand by tEnd.
  assert.ok(gapMs >= 290, `the frames skip ${gapMs} ms over a pause of at least 300 ms`);
  assert.ok(gapMs <= tEnd - t0 - 200, `the frames skip ${gapMs} ms, more than the ${(tEnd - t0 - 200).toFixed(0)} ms that passed`);
  const lastBefore = before.at(-1);
  const endBefore = lastBefore.time + (lastBefore.frames * 1000) / 16000;
  assert.ok(Math.abs(after[0].time - endBefore - gapMs) < 2,
    `time runs ${(after[0].time - endBefore).toFixed(2)} ms over the ${gapMs} ms of skipped frames`);
  // On performance.now()'s clock: the layer reads its offset from the
  // monotonic clock once, at load, which a busy machine can put a few
  // milliseconds off.
  const slack = 50;
  assert.ok(after[0].time >= t1 - slack && after[0].time <= tEnd + slack,
    `the second stream's first frame at ${after[0].time.toFixed(2)} ms, fed from ${t1.toFixed(2)} to ${tEnd.toFixed(2)} ms`);
  assert.ok(before[0].time >= t0 - slack && before[0].time <= t1 + slack,
    `the first stream's first frame at ${before[0].time.toFixed(2)} ms, fed from ${t0.toFixed(2)} ms`);
  assert.deepEqual(log.order.filter((e) => e !== 'data'), ['error', 'resumed', 'close']);
});

test('audio held back by chunkMs goes out with the stream error, and a new stream that brings more audio than the gap never reuses frames', async () => {
  fake.reset(devices(i16('mic', 1, 16000)));
  const capture = await openCapture({ chunkMs: 100 });
  const log = record(capture);
  try {
    await feedFree('mic', ramp(0, 700), { frames: 100 });
    fake.fireError('mic', 'server restarted');
    await waitFor(() => log.resumed === 1, 'resumed');
    assert.deepEqual(log.order, ['data', 'error', 'resumed'], 'the held audio comes before the error');
    assert.equal(log.data[0].frame, 0);
    assert.ok(log.data[0].chunk.equals(bytes(ramp(0, 700))));

    // Two seconds at once: by the arrival times the new stream started
    // before the old one ended.
    fake.feed('mic', ramp(700, 32000));
    await waitFor(() => log.frames() === 32700, 'the new stream\'s audio');
  } finally {
    await capture.stop();
  }
  assert.ok(log.data[1].frame >= 700, `the new stream starts at frame ${log.data[1].frame}, before the old one ended`);
  assert.ok(log.data[1].chunk.equals(bytes(ramp(700, 32000))));
  assertClock(log, { gapsAllowed: 1 });
  assert.deepEqual(log.errors, ['stream error: server restarted']);
});

// Waits until every watch in `logs` runs (a watch starts off the JavaScript
// thread), then empties the logs: events are told in order, so once a marker
// has come nothing older is on its way.
async function untilWatching(...logs) {
  await waitFor(() => {
    if (logs.some((log) => log.length === 0)) fake.setDefault('output', 'speakers');
    return logs.every((log) => log.length > 0);
  }, 'the watches to start');
  fake.setDefault('input', 'mic');
  await waitFor(() => logs.every((log) => log.at(-1).type === 'default-changed' && log.at(-1).kind === 'input'),
    'the marker');
  for (const log of logs) log.length = 0;
}

const plain = ({ type, kind, id, name }) => ({ type, kind, id, name });

test('watchDevices tells of devices added, made default and removed, with the ids and names the device lists give', async () => {
  fake.reset(usualDevices());
  const seen = [];
  const other = [];
  const unwatch = watchDevices((event) => seen.push(plain(event)));
  const unwatchOther = watchDevices((event) => other.push(plain(event)));
  try {
    await untilWatching(seen, other);
    fake.plug({ key: 'usb', name: 'USB Microphone', input: side(1, 44100, 'I16') });
    fake.plug({ key: 'dock', name: 'Dock', input: side(1, 48000), output: side(2, 48000) });
    await waitFor(() => seen.length === 3, 'the added devices');
    const listed = addon.listInputDevices().find((d) => d.id === seen[0].id);
    assert.deepEqual(listed, { id: 'fake:usb', name: 'USB Microphone' }, 'the event names a listed device');
    assert.ok(addon.listOutputDevices().some((d) => d.id === 'fake:dock' && d.name === 'Dock'));

    // The id an event gives opens that device.
    const capture = await openCapture({ deviceId: seen[0].id });
    assert.equal(capture.deviceId, 'fake:usb');
    assert.deepEqual(fake.streams().map((s) => s.device), ['usb']);
    await capture.stop();

    fake.setDefault('input', 'usb');
    assert.equal(fake.unplug('usb'), true);
    assert.equal(fake.unplug('usb'), false);
    fake.setDefault('input', 'mic');
    fake.setDefault('output', 'dock');
    await waitFor(() => seen.length === 7 && other.length === 7, 'the rest of the events');
  } finally {
    unwatch();
    unwatchOther();
  }
  assert.deepEqual(seen, [
    { type: 'added', kind: 'input', id: 'fake:usb', name: 'USB Microphone' },
    { type: 'added', kind: 'input', id: 'fake:dock', name: 'Dock' },
    { type: 'added', kind: 'output', id: 'fake:dock', name: 'Dock' },
    { type: 'default-changed', kind: 'input', id: 'fake:usb', name: 'USB Microphone' },
    { type: 'removed', kind: 'input', id: 'fake:usb', name: 'USB Microphone' },
    { type: 'default-changed', kind: 'input', id: 'fake:mic', name: 'Built-in Microphone' },
    { type: 'default-changed', kind: 'output', id: 'fake:dock', name: 'Dock' },
  ]);
  assert.deepEqual(other, seen, 'every watch hears every event');
});

test('unwatch stops the events at once, even those already on their way; the other watches go on', async () => {
  fake.reset(usualDevices());
  const seen = [];
  const other = [];
  const unwatch = watchDevices((event) => seen.push(plain(event)));
  const unwatchOther = watchDevices((event) => other.push(plain(event)));
  try {
    await untilWatching(seen, other);
    // Told to both watches before unwatch() returns; only the other hears it.
    fake.setDefault('input', 'headset');
    unwatch();
    unwatch();
    fake.plug({ key: 'usb', name: 'USB Microphone', input: side(1, 44100) });
    fake.setDefault('output', 'headset');
    await waitFor(() => other.length === 3, 'the other watch\'s events');
    await sleep(100);
  } finally {
    unwatch();
    unwatchOther();
  }
  assert.deepEqual(seen, []);
  assert.deepEqual(other.map((e) => `${e.type} ${e.kind} ${e.id}`),
    ['default-changed input fake:headset', 'added input fake:usb', 'default-changed output fake:headset']);
  fake.unplug('usb');
  await sleep(100);
  assert.equal(other.length, 3, 'nothing after its unwatch either');
});

test('a watch keeps its process running until unwatch, and one unwatched while it starts lets the process end', async () => {
  const layer = JSON.stringify(path.resolve(__dirname, '../../../capture'));
  const child = (body) => runChild(`
    process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
    const { watchDevices } = require(${layer});
    ${body}`, { timeoutMs: 20000 });
  // The timer does not hold the process: only the watch can.
  const kept = await child(`
    const unwatch = watchDevices(() => {});
    setTimeout(() => { console.log('running'); unwatch(); }, 300).unref();`);
  assert.equal(kept.code, 0, kept.stderr);
  assert.equal(kept.stdout, 'running\n');
  const ended = await child(`
    const unwatch = watchDevices(() => console.log('event'));
    unwatch();
    setTimeout(() => console.log('still running'), 3000).unref();`);
  assert.equal(ended.code, 0, ended.stderr);
  assert.equal(ended.stdout, '');
  assert.equal(ended.stderr, '');
});
