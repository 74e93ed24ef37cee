'use strict';
// Device choice and stream set-up, seen from JavaScript on the fake host.
const test = require('node:test');
const assert = require('node:assert/strict');
const asyncHooks = require('node:async_hooks');
const {
  loadTestAddon, side, range, usualDevices, runChild, waitFor,
} = require('../support/fake-support');

const addon = loadTestAddon();
const { fake, ParlantoMicrophone, ParlantoSystemLoopback } = addon;

// Starts a capture, returns the device its stream landed on and its readers,
// and stops it again.
function landing(Class, id) {
  const capture = new Class(id);
  capture.start(() => {});
  const streams = fake.streams();
  const result = {
    devices: streams.map((s) => s.device),
    sampleRate: capture.sampleRate,
    channels: capture.channels,
  };
  capture.stop();
  return result;
}

function throwsGeneric(fn, message) {
  assert.throws(fn, (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.code, 'GenericFailure');
    assert.equal(error.message, message);
    return true;
  });
}

test('blank, malformed and unknown ids fall back to the default device of the kind', () => {
  fake.reset(usualDevices());
  for (const id of [undefined, null, '', ' \t\n', 'headset', 'fake:', 'fake:unplugged']) {
    assert.deepEqual(landing(ParlantoMicrophone, id).devices, ['mic'], `microphone, id ${id}`);
    assert.deepEqual(landing(ParlantoSystemLoopback, id).devices, ['speakers'], `loopback, id ${id}`);
  }
  assert.equal(fake.counters().streamsAlive, 0);
});

test('an id is trimmed of Unicode white space and found whatever the kind of device', () => {
  fake.reset(usualDevices());
  const trimmed = landing(ParlantoMicrophone, '\u00a0\u3000fake:headset \u2029');
  assert.deepEqual(trimmed, { devices: ['headset'], sampleRate: 16000, channels: 1 });

  // The device, not the class, decides which configurations are read: a
  // microphone on an output-only device reads its output side, a loopback on
  // a device with inputs reads its input side.
  assert.deepEqual(landing(ParlantoMicrophone, 'fake:speakers'),
    { devices: ['speakers'], sampleRate: 48000, channels: 2 });
  assert.deepEqual(landing(ParlantoSystemLoopback, 'fake:headset'),
    { devices: ['headset'], sampleRate: 16000, channels: 1 });
});

test('without a default device start fails with the fixed messages', () => {
  fake.reset({ devices: usualDevices().devices, defaultInput: 'gone' });
  throwsGeneric(() => new ParlantoMicrophone().start(() => {}), 'No default input device found');
  throwsGeneric(() => new ParlantoSystemLoopback('fake:gone').start(() => {}),
    'No default output device (system audio)');
  // A listed device is still reachable by id.
  assert.deepEqual(landing(ParlantoMicrophone, 'fake:mic').devices, ['mic']);
});

test('candidates are built in order until one builds, and the readers report it', () => {
  fake.reset({
    devices: [{
      key: 'usb',
      input: side(2, 48000, 'F32', [range(2, 8000, 96000)]),
      rejectConfigs: [
        { channels: 2, sampleRate: 48000, error: 'rate refused' },
        { channels: 2, sampleRate: 44100, error: 'rate refused' },
      ],
    }],
    defaultInput: 'usb',
  });
  const mic = new ParlantoMicrophone();
  assert.equal(mic.start(() => {}), undefined);
  assert.equal(mic.sampleRate, 32000);
  assert.equal(mic.channels, 2);
  assert.deepEqual(fake.builds().map((b) => [b.channels, b.sampleRate, b.ok, b.format]),
    [[2, 48000, false, 'F32'], [2, 44100, false, 'F32'], [2, 32000, true, 'F32']]);
  mic.stop();
});

test('when no candidate builds, the last build error is reported', () => {
  fake.reset({
    devices: [{
      key: 'usb',
      input: side(2, 48000, 'F32', [range(2, 44100, 48000)]),
      rejectConfigs: [
        { sampleRate: 48000, error: 'first refusal' },
        { sampleRate: 44100, error: 'second refusal' },
      ],
    }],
    defaultInput: 'usb',
  });
  const mic = new ParlantoMicrophone();
  throwsGeneric(() => mic.start(() => {}), 'build_input_stream failed: second refusal');
  assert.equal(fake.builds().length, 2);
  assert.equal(fake.counters().streamsAlive, 0);
});

test('a default format other than F32 and I16 fails at once', () => {
  fake.reset({ devices: [{ key: 'pro', input: side(2, 96000, 'I32') }], defaultInput: 'pro' });
  throwsGeneric(() => new ParlantoMicrophone().start(() => {}), 'Unsupported sample format: I32');
  assert.deepEqual(fake.builds(), []);

  fake.reset({ devices: [{ key: 'broken', input: { rangesError: 'x' } }], defaultInput: 'broken' });
  throwsGeneric(() => new ParlantoMicrophone().start(() => {}),
    'Failed to read stream config: No default stream configuration');
});

test('an I16 device gets a 16-bit stream whose samples arrive unchanged', async () => {
  fake.reset({ devices: [{ key: 'i16', input: side(1, 16000, 'I16') }], defaultInput: 'i16' });
  const chunks = [];
  const mic = new ParlantoMicrophone();
  mic.start((error, chunk) => chunks.push(chunk));
  assert.equal(fake.streams()[0].format, 'I16');
  fake.feed(undefined, new Int16Array([1, -2, 32767, -32768]));
  await waitFor(() => chunks.length === 1, 'the chunk');
  assert.deepEqual([...chunks[0]], [0x01, 0x00, 0xfe, 0xff, 0xff, 0x7f, 0x00, 0x80]);
  mic.stop();
});

test('a busy device is tried again after a 400 ms pause, at most three times', () => {
  fake.reset({
    devices: [{ key: 'mic', input: side(1, 48000), buildOutcomes: ['The Device Is BUSY'] }],
    defaultInput: 'mic',
  });
  const mic = new ParlantoMicrophone();
  mic.start(() => {});
  const [first, second] = fake.builds();
  assert.deepEqual([first.ok, second.ok], [false, true]);
  assert.ok(second.atMs - first.atMs >= 399, `retried after ${second.atMs - first.atMs} ms`);
  mic.stop();

  fake.reset({
    devices: [{ key: 'mic', input: side(1, 48000), rejectConfigs: [{ error: 'device is busy' }] }],
    defaultInput: 'mic',
  });
  throwsGeneric(() => mic.start(() => {}), 'build_input_stream failed: device is busy');
  const at = fake.builds().map((b) => b.atMs);
  assert.equal(at.length, 3);
  assert.ok(at[1] - at[0] >= 399 && at[2] - at[1] >= 399, `attempts at ${at}`);
});

test('one thread-safe function without a speech-ended callback, two with one', () => {
  fake.reset(usualDevices());
  const created = [];
  const hook = asyncHooks.createHook({
    init(asyncId, type) { if (type === 'parlanto_audio.callback') created.push(asyncId); },
  }).enable();
  try {
    const count = (startArgs) => {
      created.length = 0;
      const mic = new ParlantoMicrophone();
      mic.start(...startArgs);
      mic.stop();
      return created.length;
    };
    assert.equal(count([() => {}]), 1);
    assert.equal(count([() => {}, null]), 1);
    assert.equal(count([() => {}, undefined]), 1);
    assert.equal(count([() => {}, () => {}]), 2);
  } finally {
    hook.disable();
  }
});

test('failed starts leave nothing behind that keeps the process alive', async () => {
  const child = await runChild(`
    const { fake, ParlantoMicrophone } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
    fake.reset({
      devices: [{ key: 'mic', input: { default: { channels: 1, sampleRate: 48000, format: 'F32' } },
                  rejectConfigs: [{ error: 'Device not available' }] }],
      defaultInput: 'mic',
    });
    const mic = new ParlantoMicrophone();
    try { mic.start(() => {}, () => {}); } catch (error) { console.log(error.message); }
    try { mic.start(() => {}, 'not a function'); } catch (error) {
      console.log(JSON.stringify([error.code, error.message]));
    }
  `);
  assert.equal(child.code, 0, child.stderr);
  assert.deepEqual(child.stdout.trim().split('\n'),
    ['build_input_stream failed: Device not available', '["InvalidArg",""]']);
});
