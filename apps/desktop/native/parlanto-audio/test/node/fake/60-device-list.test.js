'use strict';
// listInputDevices and listOutputDevices on the fake host.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestAddon, side } = require('../support/fake-support');

const {
  fake, listInputDevices, listOutputDevices, ParlantoMicrophone, ParlantoSystemLoopback,
} = loadTestAddon();

const ids = (list) => list.map((device) => device.id);

test('with no device of the kind the lists are empty', () => {
  fake.reset({ devices: [] });
  assert.deepEqual(listInputDevices(), []);
  assert.deepEqual(listOutputDevices(), []);
  fake.reset({ devices: [{ key: 'mic', input: side(1, 48000) }] });
  assert.deepEqual(listOutputDevices(), []);
});

test('devices are listed in the host order as plain { id, name } objects', () => {
  fake.reset({
    devices: [
      { key: 'speakers', name: 'Speakers', output: side(2, 48000) },
      { key: 'headset', name: 'Headset', input: side(1, 16000), output: side(2, 44100) },
      { key: 'mic-a', name: 'USB Microphone', input: side(1, 48000) },
      { key: 'mic-b', name: 'USB Microphone', input: side(1, 48000) },
      { key: 'odd', name: 'Ünïcödé 🎤', input: side(1, 48000) },
    ],
  });
  const inputs = listInputDevices('ignored', 42);
  assert.deepEqual(inputs, [
    { id: 'fake:headset', name: 'Headset' },
    { id: 'fake:mic-a', name: 'USB Microphone' },
    { id: 'fake:mic-b', name: 'USB Microphone' },
    { id: 'fake:odd', name: 'Ünïcödé 🎤' },
  ]);
  for (const device of inputs) {
    assert.equal(Object.getPrototypeOf(device), Object.prototype);
    assert.deepEqual(Object.keys(device), ['id', 'name']);
  }
  assert.deepEqual(listOutputDevices(), [
    { id: 'fake:speakers', name: 'Speakers' },
    { id: 'fake:headset', name: 'Headset' },
  ]);
  assert.notEqual(listInputDevices(), listInputDevices());
});

test('a device whose id or description cannot be read is left out', () => {
  fake.reset({
    devices: [
      { key: 'a', input: side(1, 48000), output: side(2, 48000) },
      { key: 'no-id', input: side(1, 48000), output: side(2, 48000), idError: 'no id' },
      { key: 'no-name', input: side(1, 48000), output: side(2, 48000), descriptionError: 'gone' },
      { key: 'b', input: side(1, 48000), output: side(2, 48000) },
    ],
  });
  assert.deepEqual(ids(listInputDevices()), ['fake:a', 'fake:b']);
  assert.deepEqual(ids(listOutputDevices()), ['fake:a', 'fake:b']);
});

test('a host that cannot enumerate its devices throws with the prefix of the list', () => {
  fake.reset({ devices: [], devicesError: 'server unreachable' });
  assert.throws(() => listInputDevices(),
    { code: 'GenericFailure', message: 'input_devices: server unreachable' });
  assert.throws(() => listOutputDevices(),
    { code: 'GenericFailure', message: 'output_devices: server unreachable' });
});

test('a listed id selects its device when given to either class', () => {
  fake.reset({
    devices: [
      { key: 'mic', name: 'Default Mic', input: side(1, 48000) },
      { key: 'usb', name: 'USB Microphone', input: side(2, 44100) },
      { key: 'speakers', name: 'Speakers', output: side(2, 48000) },
      { key: 'hdmi', name: 'HDMI', output: side(2, 32000) },
    ],
    defaultInput: 'mic',
    defaultOutput: 'speakers',
  });
  const usb = listInputDevices().find((device) => device.name === 'USB Microphone');
  const hdmi = listOutputDevices().find((device) => device.name === 'HDMI');
  for (const [capture, device, sampleRate] of [
    [new ParlantoMicrophone(usb.id), 'usb', 44100],
    [new ParlantoSystemLoopback(hdmi.id), 'hdmi', 32000],
  ]) {
    capture.start(() => {});
    assert.deepEqual(fake.streams().map((s) => s.device), [device]);
    assert.equal(capture.sampleRate, sampleRate);
    capture.stop();
  }
});
