'use strict';
// The capture layer's echo cancellation on the fake host: the microphone and
// its internal reference stream live and die together, a failed reference is
// opened again by itself, and a microphone opened again after a failure runs
// even while its reference cannot be had.
const test = require('node:test');
const assert = require('node:assert/strict');
const { side, usualDevices, sleep, waitFor } = require('../support/fake-support');

// The layer runs on the test addon, whose host is the fake one.
process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
const { fake } = require(process.env.PARLANTO_AUDIO_ADDON);
const { openCapture } = require('../../../capture');

// The engines this build has: speexdsp's always, WebRTC's where it was found
// (not in the Windows module, whose WebRTC source could not be had).
const engines = (process.env.PARLANTO_AUDIO_ECHO_ENGINES || 'webrtc,speex').split(',');
const engineRate = { webrtc: 48000, speex: 16000 };  // of a 44.1 or 48 kHz microphone

const PAUSED = /^echo cancellation paused: its reference output went away/;
const micMs = (ms) => Array.from({ length: ms / 10 }, () => new Float32Array(480).fill(0.1));
const speakerMs = (ms) => Array.from({ length: ms / 10 }, () => new Float32Array(960).fill(0.1));
const live = (device) => fake.streams().filter((s) => s.device === device);

function events(capture) {
  const log = { errors: [], resumed: 0, frames: 0 };
  capture.on('data', (chunk) => { log.frames += chunk.length / 2 / capture.channels; });
  capture.on('error', (error) => log.errors.push(error.message));
  capture.on('resumed', () => log.resumed++);
  return log;
}

async function feedUntil(predicate, what, device = 'mic') {
  await waitFor(() => {
    if (!predicate()) fake.feed(device, micMs(100));
    return predicate();
  }, what);
}

for (const engine of engines) {
test(`a microphone with echoCancel on ${engine} opens a reference stream on the output device; stop drops both`, async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'fake:speakers', engine } });
  assert.equal(capture.echoReferenceId, 'fake:speakers');
  assert.equal(capture.echoEngine, engine);
  assert.deepEqual(fake.streams().map((s) => [s.device, s.channels, s.playing]),
    [['mic', 1, true], ['speakers', 2, true]]);
  assert.deepEqual([capture.sampleRate, capture.channels], [engineRate[engine], 1]);
  await capture.stop();
  assert.equal(fake.counters().streamsAlive, 0);

  // Without echoCancel, no reference stream and no canceller's rate.
  fake.reset({ devices: [{ key: 'mic', input: side(1, 44100) }, { key: 'speakers', output: side(2, 48000) }],
    defaultInput: 'mic', defaultOutput: 'speakers' });
  const plain = await openCapture({});
  assert.deepEqual(fake.streams().map((s) => s.device), ['mic']);
  assert.equal(plain.sampleRate, 44100);
  assert.equal(plain.echoEngine, null);
  await plain.stop();
  // With it, the chunks come at the canceller's rate.
  const cancelled = await openCapture({ echoCancel: { reference: 'default', engine } });
  assert.deepEqual([cancelled.sampleRate, cancelled.deviceSampleRate], [engineRate[engine], 44100]);
  await cancelled.stop();
  assert.equal(fake.counters().streamsAlive, 0);
});

test(`a failed reference is reported once, opened again by itself, and resumes (${engine})`, async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'default', engine }, chunkMs: 0 });
  const log = events(capture);
  try {
    fake.feed('speakers', speakerMs(100));
    fake.feed('mic', micMs(200));
    await waitFor(() => log.frames >= capture.sampleRate / 10, 'the first audio');
    const [first] = live('speakers');
    fake.fireError('speakers', 'device unplugged');
    await waitFor(() => live('speakers').some((s) => s.serial !== first.serial), 'the reference to be opened again');
    // Nothing comes from the new reference yet: the microphone passes through.
    await feedUntil(() => log.errors.length > 0, 'the loss to be reported');
    assert.equal(log.errors.length, 1);
    assert.match(log.errors[0], PAUSED);
    fake.feed('mic', micMs(300));
    await sleep(50);
    assert.equal(log.errors.length, 1, 'reported once');
    assert.equal(log.resumed, 0);
    fake.feed('speakers', speakerMs(100));
    await feedUntil(() => log.resumed > 0, 'cancellation to resume');
    assert.equal(log.errors.length, 1);
    assert.equal(live('speakers').length, 1);
  } finally {
    await capture.stop();
  }
  assert.equal(fake.counters().streamsAlive, 0);
});
}

test('a microphone opened again without its reference runs uncancelled until the reference is back', async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'default' }, chunkMs: 0 });
  const log = events(capture);
  try {
    fake.feed('speakers', speakerMs(100));
    fake.feed('mic', micMs(200));
    await waitFor(() => log.frames >= capture.sampleRate / 10, 'the first audio');
    // The server loses the speakers; the microphone's stream fails too.
    fake.reset({ devices: [{ key: 'mic', name: 'Built-in Microphone', input: side(1, 48000) }], defaultInput: 'mic' });
    fake.fireError('mic', 'server restarted');
    await waitFor(() => log.resumed > 0, 'the microphone to be opened again');
    assert.deepEqual(log.errors, ['stream error: server restarted']);
    assert.deepEqual(fake.streams().map((s) => s.device), ['mic']);
    const before = log.frames;
    await feedUntil(() => log.errors.length > 1, 'the loss of the reference');
    assert.match(log.errors[1], PAUSED);
    assert.ok(log.frames > before, 'the microphone delivers meanwhile');

    // Another output device becomes the default: the reference follows it by itself.
    const devices = usualDevices();
    devices.devices.push({ key: 'hdmi', name: 'HDMI', output: side(2, 48000) });
    devices.defaultOutput = 'hdmi';
    fake.reset(devices);
    await waitFor(() => live('hdmi').length === 1, 'the reference to be opened again');
    fake.feed('hdmi', speakerMs(100));
    await feedUntil(() => log.resumed > 1, 'cancellation to resume');
    assert.equal(log.errors.length, 2);
    assert.equal(capture.echoReferenceId, 'fake:hdmi');
  } finally {
    await capture.stop();
  }
  assert.equal(fake.counters().streamsAlive, 0);
  // The reopening ended with the capture.
  const built = fake.counters().streamsBuilt;
  await sleep(500);
  assert.equal(fake.counters().streamsBuilt, built);
});

test('a capture stopped while its reference cannot be had stops trying', async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'fake:speakers' }, chunkMs: 0 });
  const log = events(capture);
  fake.reset({ devices: [{ key: 'mic', input: side(1, 48000) }], defaultInput: 'mic' });
  fake.fireError('speakers', 'device unplugged');
  await feedUntil(() => log.errors.length > 0, 'the loss to be reported');
  await capture.stop();
  assert.equal(fake.counters().streamsAlive, 0);
  fake.reset(usualDevices());
  await sleep(500);
  assert.equal(fake.counters().streamsAlive, 0, 'no reference was opened after the stop');
});

test('openCapture refuses an unknown or input-only reference, and a loopback with echoCancel', async () => {
  fake.reset(usualDevices());
  await assert.rejects(openCapture({ echoCancel: { reference: 'fake:nothing' } }),
    { code: 'GenericFailure', message: "echo cancellation: no output device has the id 'fake:nothing' (listOutputDevices() gives the ids)" });
  await assert.rejects(openCapture({ echoCancel: { reference: 'fake:mic' } }), { message: /no output device has the id/ });
  await assert.rejects(openCapture({ kind: 'loopback', echoCancel: { reference: 'default' } }), { code: 'InvalidArg' });
  fake.reset({ devices: [{ key: 'mic', input: side(1, 48000) }], defaultInput: 'mic' });
  await assert.rejects(openCapture({ echoCancel: { reference: 'default' } }),
    { message: /there is no default output device to take the echo's reference from/ });
  assert.equal(fake.counters().streamsAlive, 0);
});

test("the engine is the build's best unless asked for; one the build lacks, or no engine, is refused before anything opens", async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ echoCancel: { reference: 'default' } });
  assert.equal(capture.echoEngine, engines[0]);
  await capture.stop();
  const built = fake.counters().streamsBuilt;
  for (const engine of ['aec3', '', 7, 'WEBRTC']) {
    await assert.rejects(openCapture({ echoCancel: { reference: 'default', engine } }),
      { code: 'InvalidArg', message: /^openCapture: echoCancel.engine must be 'webrtc' or 'speex'/ });
  }
  if (!engines.includes('webrtc')) {
    await assert.rejects(openCapture({ echoCancel: { reference: 'default', engine: 'webrtc' } }), {
      code: 'InvalidArg',
      message: "echo cancellation: this build of the module has no 'webrtc' engine; it has 'speex'",
    });
  }
  assert.equal(fake.counters().streamsBuilt, built);
  assert.equal(fake.counters().streamsAlive, 0);
});
