'use strict';
// Captures of the capture layer that follow the default device, on the fake
// host: a new default moves a default capture once and leaves a pinned one,
// the echo reference follows the default output, followDefault: false and a
// stop end the following, and a failed move is recovered on the default.
const test = require('node:test');
const assert = require('node:assert/strict');
const { usualDevices, sleep, waitFor } = require('../support/fake-support');

process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
const { fake } = require(process.env.PARLANTO_AUDIO_ADDON);
const { openCapture, watchDevices } = require('../../../capture');

const withEngine = process.env.PARLANTO_AUDIO_ECHO_ENGINE !== '0';
const micMs = (device, ms) => fake.feed(device, Array.from({ length: ms / 10 }, () => new Float32Array(480).fill(0.1)));
const live = () => fake.streams().map((s) => s.device);

function record(capture) {
  const log = { changes: [], errors: [], frames: [] };
  capture.on('device-changed', (change) => log.changes.push(change));
  capture.on('error', (error) => log.errors.push(error.message));
  capture.on('data', (chunk, { frame }) => log.frames.push([frame, chunk.length / 2 / capture.channels]));
  return log;
}

test('a new default input moves a default capture there once, in its format; a pinned capture stays; watchDevices names the same id', async () => {
  fake.reset(usualDevices());
  const seen = [];
  const unwatch = watchDevices((event) => seen.push(event));
  const following = await openCapture({ format: { sampleRate: 16000, channels: 1 } });
  const pinned = await openCapture({ deviceId: 'fake:mic' });
  const log = record(following);
  const pinnedLog = record(pinned);
  try {
    micMs('mic', 100);
    await waitFor(() => log.frames.length > 0, 'audio from the microphone');
    fake.setDefault('input', 'headset');
    await waitFor(() => log.changes.length === 1, 'device-changed');
    assert.deepEqual(log.changes[0], { deviceId: 'fake:headset', name: 'Headset', echoReference: false });
    assert.equal(following.deviceId, 'fake:headset');
    assert.deepEqual([following.sampleRate, following.channels, following.deviceSampleRate], [16000, 1, 16000]);
    assert.deepEqual(live().sort(), ['headset', 'mic'], 'the pinned capture keeps its stream');
    await waitFor(() => seen.some((e) => e.type === 'default-changed'), 'the watch event');
    assert.equal(seen.find((e) => e.type === 'default-changed').id, log.changes[0].deviceId);

    // The same default again moves nothing.
    fake.setDefault('input', 'headset');
    fake.setDefault('output', 'headset');
    await sleep(100);
    assert.equal(log.changes.length, 1);
    assert.equal(pinnedLog.changes.length, 0);
    assert.equal(pinned.deviceId, 'fake:mic');

    // Frames go on after the move.
    const before = log.frames.length;
    fake.feed('headset', Array.from({ length: 10 }, () => new Float32Array(160).fill(0.1)));
    await waitFor(() => log.frames.length > before, 'audio from the headset');
    for (let i = 1; i < log.frames.length; i++) {
      assert.ok(log.frames[i][0] >= log.frames[i - 1][0] + log.frames[i - 1][1], 'frames never go back');
    }
    assert.deepEqual(log.errors, []);
  } finally {
    unwatch();
    await following.stop();
    await pinned.stop();
  }
  assert.equal(fake.counters().streamsAlive, 0);
});

test('followDefault: false keeps a default capture where it opened; a stopped capture follows nothing', async () => {
  fake.reset(usualDevices());
  const still = await openCapture({ kind: 'loopback', followDefault: false });
  const log = record(still);
  const stopped = await openCapture({ kind: 'loopback' });
  await stopped.stop();
  fake.setDefault('output', 'headset');
  await sleep(100);
  assert.deepEqual(log.changes, []);
  assert.equal(still.deviceId, 'fake:speakers');
  assert.deepEqual(live(), ['speakers']);
  await still.stop();
  await assert.rejects(openCapture({ followDefault: 'no' }), { code: 'InvalidArg' });
});

test('following captures share one device watch, which goes with the last of them', async () => {
  fake.reset(usualDevices());
  const mic = await openCapture();
  const loopback = await openCapture({ kind: 'loopback' });
  const pinned = await openCapture({ deviceId: 'fake:mic' });
  assert.equal(fake.counters().watchesAlive, 1);
  const micLog = record(mic);
  const loopbackLog = record(loopback);
  fake.setDefault('output', 'headset');
  await waitFor(() => loopbackLog.changes.length === 1, 'the loopback moved');
  await mic.stop();
  assert.equal(fake.counters().watchesAlive, 1);
  fake.setDefault('output', 'speakers');
  await waitFor(() => loopbackLog.changes.length === 2, 'the loopback moved back');
  assert.deepEqual(micLog.changes, []);
  await loopback.stop();
  assert.equal(fake.counters().watchesAlive, 0);
  await pinned.stop();

  // A capture opened after the last went starts a watch of its own again.
  const again = await openCapture();
  assert.equal(fake.counters().watchesAlive, 1);
  await again.stop();
  assert.equal(fake.counters().watchesAlive, 0);
});

test('a new default that cannot be opened: the capture recovers on the default of the kind then', async () => {
  const devices = usualDevices();
  devices.devices.push({ key: 'broken', name: 'Broken', input: { default: { channels: 1, sampleRate: 48000, format: 'F32' }, ranges: [] },
    buildOutcomes: Array(20).fill('device unplugged') });
  fake.reset(devices);
  const capture = await openCapture({});
  const log = record(capture);
  try {
    fake.setDefault('input', 'broken');
    await sleep(300);
    fake.setDefault('input', 'headset');
    await waitFor(() => capture.deviceId === 'fake:headset', 'the move to the headset');
    await sleep(100);
    assert.deepEqual(log.changes.map((c) => c.deviceId), ['fake:headset']);
    assert.match(log.errors[0], /^stream error: the new default device could not be opened: /);
    assert.deepEqual(live(), ['headset']);
  } finally {
    await capture.stop();
  }
});

test('an echo-cancelled microphone moves its reference to the new default output and keeps its microphone', { skip: !withEngine && 'built without the echo engine' }, async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'default' } });
  const log = record(capture);
  try {
    assert.equal(capture.echoReferenceId, 'fake:speakers');
    const mic = fake.streams().find((s) => s.device === 'mic').serial;
    fake.setDefault('output', 'headset');
    await waitFor(() => log.changes.length === 1, 'device-changed');
    assert.deepEqual(log.changes[0], { deviceId: 'fake:headset', name: 'Headset', echoReference: true });
    assert.equal(capture.echoReferenceId, 'fake:headset');
    assert.equal(capture.deviceId, 'fake:mic');
    assert.deepEqual(fake.streams().map((s) => [s.device, s.serial === mic]), [['mic', true], ['headset', false]]);
  } finally {
    await capture.stop();
  }
});
