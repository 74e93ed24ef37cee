'use strict';
// Faults on a private PulseAudio server: the captured device disappears, the
// server dies, or there is no server at all.

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { test } = require('node:test');
const s = require('./pulse-support.js');

const PREFIX = '[parlanto_audio] stream error: ';

function runChild(mode) {
  const child = spawnSync(process.execPath, [path.join(__dirname, 'pulse-fault-child.js'), mode], {
    encoding: 'utf8',
    timeout: 30000,
  });
  const report = JSON.parse(child.stdout || '{}');
  assert.equal(report.failure, undefined, report.failure);
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
  const lines = child.stderr.split('\n').filter((l) => l.startsWith(PREFIX));
  return { report, lines };
}

for (const [mode, what, text] of [
  ['unload', 'the captured sink is unloaded', 'Entity killed'],
  ['kill', 'the server is killed', 'Connection terminated'],
]) {
  test(`when ${what} mid-capture: one error line, nothing to JavaScript, stop and a later start work`, () => {
    const { report, lines } = runChild(mode);
    assert.deepEqual(lines, [PREFIX + text]);
    assert.ok(report.before >= 10, 'capture ran before the fault');
    assert.equal(report.afterFault, 0, 'no data after the fault');
    assert.equal(report.errors, 0);
    assert.equal(report.notifications, 0);
    assert.ok(report.again >= 10, 'a start on a new server delivers');
  });
}

test('start with no server fails with GenericFailure and leaves the object idle', async () => {
  const dir = s.fixtureDir('parlanto-no-server-');
  process.env.PULSE_SERVER = `unix:${path.join(dir, 'native')}`;
  const addon = s.loadAddon();
  const mic = new addon.ParlantoMicrophone();
  assert.throws(() => mic.start(() => {}), (error) => {
    assert.equal(error.code, 'GenericFailure');
    assert.match(error.message, /input device|Connection refused/);
    return true;
  });
  assert.equal(mic.channels, 1);
  assert.equal(mic.sampleRate, 48000);
  assert.equal(mic.stop(), undefined);

  const rig = await s.useRig({ dir });
  try {
    const log = s.record(mic, { speechEnded: false });
    await s.waitForChunks(log, 5);
    mic.stop();
    assert.equal(mic.channels, 2);
  } finally {
    await rig.stop();
  }
});
