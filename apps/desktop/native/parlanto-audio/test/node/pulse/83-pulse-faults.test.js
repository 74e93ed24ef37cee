'use strict';
// Faults on a private PulseAudio server: the captured device disappears, the
// server dies or hangs, or there is no server at all.

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

const PREFIX = '[parlanto_audio] stream error: ';

function runChild(mode) {
  const child = spawnSync(process.execPath, ['--expose-gc', path.join(__dirname, '..', 'support', 'pulse-fault-child.js'), mode], {
    encoding: 'utf8',
    timeout: 90000,
    maxBuffer: 16 * 1024 * 1024,
  });
  const report = JSON.parse(child.stdout || '{}');
  assert.equal(report.failure, undefined, report.failure);
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
  const lines = child.stderr.split('\n').filter((l) => l.startsWith(PREFIX));
  return { report, lines };
}

test('a server killed mid-capture: one error to onData, data back by itself from the new server, a clean stop', () => {
  const { report, lines } = runChild('kill');
  assert.deepEqual(lines, [PREFIX + 'Connection terminated']);
  assert.ok(report.before >= 10, 'capture ran before the fault');
  assert.deepEqual(report.errors.map((e) => [e.code, e.message]),
    [['GenericFailure', 'stream error: Connection terminated']]);
  assert.notEqual(report.restartToData, null, 'no data from the restarted server');
  assert.ok(report.sameFormat, 'sampleRate and channels kept');
  assert.equal(report.afterStop, 0);
});

test('the captured sink unloaded and loaded again: the capture by id waits for it and resumes', () => {
  const { report, lines } = runChild('unload');
  // An idle null sink renders up to 2 s ahead before a new recorder sees data,
  // so on a loaded machine the no-data report may come too; the fault itself
  // is reported exactly once.
  const quiet = 'no audio from the device for 2 s';
  assert.deepEqual(lines.filter((l) => l !== PREFIX + quiet), [PREFIX + 'Entity killed']);
  assert.ok(report.before >= 10, 'capture ran before the fault');
  assert.deepEqual(report.errors.map((e) => e.message).filter((m) => m !== `stream error: ${quiet}`),
    ['stream error: Entity killed']);
  assert.equal(report.whileGone, 0);
  assert.ok(report.loadToReconnect < 1500, `recording again ${report.loadToReconnect} ms after the load`);
  assert.notEqual(report.loadToData, null, 'no data from the sink loaded again');
});

test('a frozen server: calls give up naming what timed out, silence is reported once, data resumes', () => {
  const { report, lines } = runChild('freeze');
  assert.deepEqual(lines, [PREFIX + 'no audio from the device for 2 s']);
  assert.ok(report.before >= 10, 'capture ran before the fault');
  const timeout = /^Timeout: the audio server did not answer within 2 s \(.+\)$/;
  for (const [call, prefix] of [['listInputs', 'input_devices: '], ['listOutputs', 'output_devices: ']]) {
    assert.ok(report[call].message.startsWith(prefix), report[call].message);
    assert.match(report[call].message.slice(prefix.length), timeout);
    assert.ok(report[call].ms < 3000, `${call} took ${report[call].ms} ms`);
  }
  for (const call of ['start', 'startById']) {
    assert.equal(report[call].message, 'No default input device found');
    assert.match(report[call].cause, timeout);
    assert.ok(report[call].ms < 3000, `${call} took ${report[call].ms} ms`);
  }
  assert.equal(report.errorsWhileFrozen, 1);
  assert.deepEqual(report.errors.map((e) => e.message), ['stream error: no audio from the device for 2 s']);
  assert.notEqual(report.thawToData, null, 'no data after the server resumed');
});

test('start with no server fails with GenericFailure and leaves the object idle', async () => {
  const dir = s.fixtureDir('parlanto-no-server-');
  process.env.PULSE_SERVER = `unix:${path.join(dir, 'native')}`;
  const addon = s.loadAddon();
  const mic = new addon.ParlantoMicrophone();
  assert.throws(() => mic.start(() => {}), (error) => {
    assert.equal(error.code, 'GenericFailure');
    assert.equal(error.message, 'No default input device found');
    assert.ok(error.cause instanceof Error);
    assert.equal(error.cause.message, 'Connection refused');
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

test('a 20 MiB device id beside a running capture: never sent, the other capture keeps receiving', async () => {
  const rig = await s.useRig();
  const addon = s.loadAddon();
  const loopback = new addon.ParlantoSystemLoopback();
  const mic = new addon.ParlantoMicrophone(`source:${'x'.repeat(20 * 1024 * 1024)}`);
  try {
    const running = s.record(loopback, { speechEnded: false });
    await s.waitForChunks(running);
    const absurd = s.record(mic, { speechEnded: false });
    await s.waitForChunks(absurd);  // the default microphone instead
    await s.sleep(300);
    const before = running.chunks.length;
    await s.sleep(500);
    assert.ok(running.chunks.length - before >= 20, 'the running capture still receives');
    assert.deepEqual(running.errors, []);
    assert.ok(addon.listInputDevices().some((d) => d.id === `source:${rig.micSource}`));
  } finally {
    mic.stop();
    loopback.stop();
    await rig.stop();
  }
});

test('a device watch connects again after the server died and tells what the new one has', () => {
  const { report } = runChild('rewatch');
  const count = (event) => report.events.filter((e) => e === event).length;
  assert.ok(report.toAdded !== null, report.events.join(', '));
  assert.equal(count('added output sink:rig_extra'), 1, report.events.join(', '));
  assert.equal(count('default-changed output sink:rig_extra'), 1, report.events.join(', '));
  const removed = report.events.indexOf('removed output sink:rig_extra');
  assert.ok(removed > report.events.indexOf('added output sink:rig_extra'), report.events.join(', '));
  assert.ok(!report.events.some((e) => e.startsWith('error')), report.events.join(', '));
  assert.ok(!report.events.some((e) => e.includes('@')), 'no placeholder is a device');
});

test('1,000 starts and stops with sinks unloaded and the server killed in between leave nothing behind', () => {
  const { report } = runChild('cycles');
  assert.equal(report.cycles, 1000);
  assert.ok(report.faults >= 5, `${report.faults} faults`);
  assert.equal(report.after.threads, report.before.threads, 'threads');
  assert.equal(report.after.fds, report.before.fds, 'file descriptors');
  // The address sanitizer keeps freed memory in quarantine: resident memory
  // says nothing there.
  if (process.env.ASAN_OPTIONS === undefined) {
    const grown = report.after.rssKiB - report.before.rssKiB;
    assert.ok(grown < 8 * 1024, `resident memory grew by ${grown} KiB over 900 cycles`);
  }
});
