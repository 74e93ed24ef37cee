'use strict';
// Device lists of the production module on a private PulseAudio server.

const assert = require('node:assert/strict');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let addon;
let fixtures;
s.rigPerFile((ready) => ({ rig, addon, fixtures } = ready));

test('the rig\'s sinks and microphone appear in the right lists', () => {
  const inputs = addon.listInputDevices();
  const outputs = addon.listOutputDevices();
  for (const device of [...inputs, ...outputs]) {
    assert.deepEqual(Object.keys(device), ['id', 'name']);
  }
  assert.deepEqual(inputs, [{ id: 'source:rig_mic', name: 'Rig Microphone' }]);
  assert.deepEqual(outputs, [
    { id: 'sink:rig_output', name: 'Rig Output' },
    { id: 'sink:rig_mic_feed', name: 'Rig Microphone Feed' },
  ]);
});

test('an id from the list selects its device; without one the default is used', async () => {
  const feed = addon.listOutputDevices().find((d) => d.name === 'Rig Microphone Feed');
  const chosen = new addon.ParlantoSystemLoopback(feed.id);
  const fallback = new addon.ParlantoSystemLoopback();
  const chosenLog = s.record(chosen, { speechEnded: false });
  const fallbackLog = s.record(fallback, { speechEnded: false });
  try {
    await s.waitForChunks(chosenLog);
    await s.waitForChunks(fallbackLog);
    await rig.play(s.toneWav(fixtures, 0.5), rig.micFeedSink);
    await s.sleep(200);
  } finally {
    chosen.stop();
    fallback.stop();
  }
  assert.ok(s.rms(chosenLog.samples(), 2) > 0.05, 'the chosen sink carried the tone');
  assert.equal(s.voicedSpan(fallbackLog.samples(), 2), null, 'the default sink stayed silent');
});

test('a monitor as the default source is no microphone', async () => {
  await rig.pactl(['set-default-source', `${rig.outputSink}.monitor`]);
  try {
    const mic = new addon.ParlantoMicrophone();
    assert.throws(() => mic.start(() => {}), {
      code: 'GenericFailure',
      message: 'No default input device found',
    });
  } finally {
    await rig.pactl(['set-default-source', rig.micSource]);
  }
});

test('with no server, listing throws the server\'s text', async () => {
  await rig.stop();
  rig = null;
  assert.throws(() => addon.listInputDevices(), {
    code: 'GenericFailure',
    message: 'input_devices: Connection refused',
  });
  assert.throws(() => addon.listOutputDevices(), {
    code: 'GenericFailure',
    message: 'output_devices: Connection refused',
  });
});
