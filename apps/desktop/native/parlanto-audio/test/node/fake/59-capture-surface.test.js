'use strict';
// The capture layer's surface on the fake host: options it cannot take are
// refused with the key and where it belongs, a capture's properties cannot be
// written, and a stream error's standard-error line is written only when the
// application does not listen for 'error'.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { side, usualDevices, waitFor, runChild } = require('../support/fake-support');

process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
const { fake } = require(process.env.PARLANTO_AUDIO_ADDON);
const { openCapture, watchDevices } = require('../../../capture');

const refused = (pattern) => (error) => {
  assert.equal(error.code, 'InvalidArg');
  assert.match(error.message, pattern);
  return true;
};

test('unknown options and wrong types are refused, naming the key and where it belongs', async () => {
  fake.reset(usualDevices());
  const cases = [
    [{ sampleRate: 16000 }, /unknown option sampleRate; did you mean format\.sampleRate\?/],
    [{ channels: 1 }, /did you mean format\.channels\?/],
    [{ deviceID: 'fake:mic' }, /unknown option deviceID; did you mean deviceId\?/],
    [{ format: { rate: 16000 } }, /unknown option format\.rate; did you mean format\.sampleRate\?/],
    [{ format: { sampleRate: 16000, chunkMs: 20 } }, /format\.chunkMs; did you mean chunkMs\?/],
    [{ echoCancel: { foo: 1 } }, /unknown option echoCancel\.foo \(echoCancel takes reference, noiseSuppression, gainControl, engine\)/],
    [{ reference: 'default' }, /did you mean echoCancel\.reference\?/],
    [{ format: [16000] }, /format must be an object, not an array/],
    [{ echoCancel: 'default' }, /echoCancel must be an object, not string/],
    [{ deviceId: 7 }, /deviceId must be a string, not number/],
    [{ kind: 'input' }, /'input' is a 'microphone' capture/],
    [{ kind: 'output' }, /'loopback'/],
    [{ appName: '' }, /appName must be a string/],
    [{ appName: 42 }, /appName must be a string/],
  ];
  for (const [options, pattern] of cases) {
    await assert.rejects(openCapture(options), refused(pattern), JSON.stringify(options));
  }
  await assert.rejects(openCapture([]), refused(/options must be an object, not an array/));
  assert.equal(fake.counters().streamsAlive, 0, 'nothing was opened');

  assert.throws(() => watchDevices(() => {}, 5), refused(/watchDevices: options must be an object \(\{ onError \}\), not number/));
  assert.throws(() => watchDevices(() => {}, { onErorr: () => {} }), refused(/unknown option onErorr; did you mean onError\?/));
  assert.throws(() => watchDevices(() => {}, { onError: 'log' }), refused(/onError must be a function, not string/));
});

test("a capture's properties are read-only: writing one throws and changes nothing", async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({ format: { sampleRate: 16000 } });
  try {
    for (const [key, value] of [['sampleRate', 8000], ['channels', 2], ['kind', 'loopback'], ['deviceId', 'x'],
      ['dropped', -1], ['running', false], ['echoReferenceId', 'y'], ['deviceSampleRate', 1]]) {
      const before = capture[key];
      assert.throws(() => { capture[key] = value; }, TypeError, key);
      assert.equal(capture[key], before, key);
    }
    assert.deepEqual([capture.kind, capture.deviceId, capture.sampleRate, capture.running], ['microphone', 'fake:mic', 16000, true]);
  } finally {
    await capture.stop();
  }
  assert.equal(capture.running, false);
});

test("a stream error reaches the 'error' listener alone, or standard error when nobody listens", async () => {
  const layer = JSON.stringify(path.resolve(__dirname, '../../../capture'));
  const run = (listen) => runChild(`
    const { fake } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
    process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
    const { openCapture } = require(${layer});
    fake.reset({ devices: [{ key: 'mic', input: { default: { channels: 1, sampleRate: 48000, format: 'F32' }, ranges: [] } }],
                 defaultInput: 'mic' });
    (async () => {
      const capture = await openCapture({});
      let seen = null;
      if (${listen}) capture.on('error', (error) => { seen = error.message; });
      const resumed = new Promise((resolve) => capture.once('resumed', resolve));
      fake.fireError('mic', 'device unplugged');
      await resumed;
      await capture.stop();
      console.log(JSON.stringify(seen));
    })();`);
  const listened = await run(true);
  assert.equal(listened.code, 0, listened.stderr);
  assert.equal(listened.stdout.trim(), '"stream error: device unplugged"');
  assert.equal(listened.stderr, '');
  const alone = await run(false);
  assert.equal(alone.code, 0, alone.stderr);
  assert.equal(alone.stderr, '[parlanto_audio] stream error: device unplugged\n');
});

test('a capture that has had no audio since it opened reports it after 2 s, and its first audio ends that', async () => {
  fake.reset(usualDevices());
  const capture = await openCapture({});
  const log = [];
  capture.on('error', (error) => log.push(error.message));
  capture.on('resumed', () => log.push('resumed'));
  try {
    await waitFor(() => log.length > 0, 'the no-data report', 5000);
    assert.deepEqual(log, ['stream error: no audio from the device for 2 s']);
    fake.feed('mic', Array.from({ length: 10 }, () => new Float32Array(480).fill(0.1)));
    await waitFor(() => log.length > 1, 'resumed');
    assert.deepEqual(log, ['stream error: no audio from the device for 2 s', 'resumed']);
  } finally {
    await capture.stop();
  }
});

test('openCapture tries a busy device again as the classes do, and gives up after three attempts', async () => {
  fake.reset({ devices: [{ key: 'mic', input: side(1, 48000), buildOutcomes: ['The Device Is BUSY'] }],
    defaultInput: 'mic' });
  const capture = await openCapture();
  const [first, second] = fake.builds();
  assert.deepEqual([first.ok, second.ok], [false, true]);
  assert.ok(second.atMs - first.atMs >= 399, `retried after ${second.atMs - first.atMs} ms`);
  await capture.stop();

  fake.reset({ devices: [{ key: 'mic', input: side(1, 48000), rejectConfigs: [{ error: 'device is busy' }] }],
    defaultInput: 'mic' });
  await assert.rejects(openCapture(), { code: 'GenericFailure', message: 'build_input_stream failed: device is busy' });
  assert.equal(fake.builds().length, 3);
});
