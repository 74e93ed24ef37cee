'use strict';
// The Windows module on WASAPI, in node.exe under Wine, whose audio driver
// talks to a private PulseAudio server: the rig's devices are the endpoints.
// One node.exe serves every test of the file.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test, before, after } = require('node:test');
const s = require('../node/support/pulse-support.js');
const { runNode, startChild, wineVersion } = require('./wine.js');
const room = require('../node/support/echo-room.js');

const ENDPOINT_ID = /^\{0\.0\.([01])\.[0-9A-F]{8}\}\.\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$/i;

let rig;
let win;
let fixtures;
let phrase;

before(async () => {
  rig = await s.useRig();
  fixtures = s.fixtureDir();
  phrase = s.speechWav(fixtures, 'tell me about a project you are proud of');
  win = await startChild({ addon: path.resolve(process.env.PARLANTO_AUDIO_ADDON), env: rig.env });
});

after(async () => {
  if (win) await win.close();
  if (rig) await rig.stop();
});

let captures = 0;
async function start(kind, { id, speechEnded = false } = {}) {
  const name = `c${++captures}`;
  const started = await win.call('start', { name, kind, id, speechEnded });
  return { name, ...started };
}

async function waitForChunks(capture, count = 10, ms = 3000) {
  const deadline = performance.now() + ms;
  while (performance.now() < deadline) {
    if ((await win.call('status', { name: capture.name })).chunks >= count) return;
    await s.sleep(20);
  }
  throw new Error(`${capture.name}: fewer than ${count} chunks in ${ms} ms`);
}

// The capture's log in the shape the PulseAudio tests measure.
async function stop(capture) {
  const result = await win.call('stop', { name: capture.name });
  const pcm = Buffer.from(result.pcm, 'base64');
  let offset = 0;
  const chunks = result.chunks.map(({ at, bytes }) => {
    const chunk = pcm.subarray(offset, offset + bytes);
    offset += bytes;
    return { at, chunk };
  });
  return { chunks, ended: result.ended, errors: result.errors, samples: () => s.pcmSamples(pcm) };
}

async function listing() {
  return win.call('list');
}

test('endpoints are listed by friendly name; each listed id selects its endpoint', async () => {
  const { inputs, outputs } = await listing();
  for (const device of [...inputs, ...outputs]) {
    assert.deepEqual(Object.keys(device), ['id', 'name']);
    assert.match(device.id, ENDPOINT_ID);
  }
  assert.ok(inputs.every((d) => ENDPOINT_ID.exec(d.id)[1] === '1'), 'capture endpoints');
  assert.ok(outputs.every((d) => ENDPOINT_ID.exec(d.id)[1] === '0'), 'render endpoints');
  const names = (list) => list.map((d) => d.name);
  assert.ok(names(inputs).includes('Rig Microphone'), names(inputs).join(', '));
  assert.ok(names(outputs).includes('Rig Output') && names(outputs).includes('Rig Microphone Feed'));
  assert.equal(new Set([...inputs, ...outputs].map((d) => d.id)).size, inputs.length + outputs.length);

  // A tone into the microphone's feed: heard by the microphone chosen by id,
  // by the default, and by an id that is not one (it falls back to the
  // default); not by the output's monitor, chosen by its id.
  const mic = inputs.find((d) => d.name === 'Rig Microphone');
  const monitor = inputs.find((d) => d.name === 'Monitor of Rig Output');
  assert.ok(monitor, names(inputs).join(', '));
  const chosen = await start('mic', { id: mic.id });
  const other = await start('mic', { id: monitor.id });
  const fallback = await start('mic', { id: `${mic.id.slice(0, -2)}x}` });
  const logs = [];
  try {
    for (const c of [chosen, other, fallback]) await waitForChunks(c);
    await rig.play(s.toneWav(fixtures, 0.5), rig.micFeedSink);
    await s.sleep(200);
  } finally {
    for (const c of [chosen, other, fallback]) logs.push(await stop(c));
  }
  const [chosenLog, otherLog, fallbackLog] = logs;
  assert.ok(s.rms(chosenLog.samples(), 2) > 0.05, 'the microphone chosen by id heard the tone');
  assert.ok(s.rms(fallbackLog.samples(), 2) > 0.05, 'an id that is none gave the default microphone');
  assert.equal(s.voicedSpan(otherLog.samples(), 2), null, 'the monitor chosen by id stayed silent');
});

test('a phrase spoken into the microphone arrives whole: its length within 50 ms, its level within 5%', async (t) => {
  const played = s.readWav(phrase);
  const mic = await start('mic');
  assert.deepEqual([mic.sampleRate, mic.channels], [48000, 2]);
  let log;
  try {
    await waitForChunks(mic);
    await rig.play(phrase, rig.micFeedSink);
    await s.sleep(300);
  } finally {
    log = await stop(mic);
  }
  assert.deepEqual(log.errors, []);
  for (const { chunk } of log.chunks) assert.ok(chunk.length > 0 && chunk.length % 4 === 0, 'whole frames');
  const heard = s.voicedSpan(log.samples(), 2);
  const spoken = s.voicedSpan(played.samples, played.channels);
  assert.ok(heard, 'the phrase arrived');
  const ms = (span) => ((span.end - span.first) * 1000) / 48000;
  t.diagnostic(`voiced ${ms(heard).toFixed(1)} ms of ${ms(spoken).toFixed(1)} ms; start() took ${mic.startMs.toFixed(1)} ms`);
  assert.ok(Math.abs(ms(heard) - ms(spoken)) <= 50, `voiced ${ms(heard)} ms, played ${ms(spoken)} ms`);
  const heardLevel = s.rms(log.samples(), 2, heard.first, heard.end);
  const spokenLevel = s.rms(played.samples, played.channels, spoken.first, spoken.end);
  assert.ok(Math.abs(heardLevel - spokenLevel) <= 0.05 * spokenLevel, `level ${heardLevel}, played ${spokenLevel}`);
});

test('two phrases a second apart each end speech once, 420 to 520 ms after their last voice', async (t) => {
  const mic = await start('mic', { speechEnded: true });
  const cpuBefore = await win.call('cpu');
  const began = performance.now();
  let log;
  try {
    await waitForChunks(mic);
    await rig.play(phrase, rig.micFeedSink);
    await s.sleep(1000);
    await rig.play(phrase, rig.micFeedSink);
    await s.sleep(800);
  } finally {
    log = await stop(mic);
  }
  const cpuAfter = await win.call('cpu');
  const cpu = (cpuAfter.user + cpuAfter.system - cpuBefore.user - cpuBefore.system) / 1000;
  assert.deepEqual(log.errors, []);
  assert.equal(log.ended.length, 2);
  const silences = s.silenceBeforeEachEnd(log, 48000, 2);
  t.diagnostic(`speech ended ${silences.map((ms) => ms.toFixed(1)).join(', ')} ms after the last voiced chunk; ` +
    `node.exe used ${((100 * cpu) / (performance.now() - began)).toFixed(1)}% of a core while capturing`);
  for (const silence of silences) {
    assert.ok(silence >= 420 && silence <= 520, `speech ended ${silence.toFixed(1)} ms after the last voiced chunk`);
  }
});

test('the output endpoint is recorded by loopback where Wine supports it, else refused with a readable reason', async (t) => {
  const { outputs } = await listing();
  const output = outputs.find((d) => d.name === 'Rig Output');
  const [major] = wineVersion();
  if (major < 10) {
    // Wine 8 refuses loopback streams; the refusal is the stream set-up's failure.
    await assert.rejects(start('loopback', { id: output.id }), {
      code: 'GenericFailure',
      message: /^build_input_stream failed: .*AUDCLNT_E_WRONG_ENDPOINT_TYPE, 0x88890003\)$/,
    });
    t.diagnostic(`Wine ${major} has no loopback capture`);
    return;
  }
  const loopback = await start('loopback', { id: output.id, speechEnded: true });
  let log;
  try {
    await waitForChunks(loopback);
    await rig.play(phrase, rig.outputSink);
    await s.sleep(800);
  } finally {
    log = await stop(loopback);
  }
  assert.deepEqual(log.errors, []);
  const played = s.readWav(phrase);
  const heard = s.voicedSpan(log.samples(), loopback.channels);
  const spoken = s.voicedSpan(played.samples, played.channels);
  assert.ok(heard, 'the phrase arrived');
  assert.ok(Math.abs(heard.end - heard.first - (spoken.end - spoken.first)) <= 48 * 50);
  assert.equal(log.ended.length, 1);
  const [silence] = s.silenceBeforeEachEnd(log, loopback.sampleRate, loopback.channels);
  t.diagnostic(`loopback on Wine ${major}: speech ended ${silence.toFixed(1)} ms after the last voiced chunk`);
  assert.ok(silence >= 420 && silence <= 520, `speech ended ${silence.toFixed(1)} ms after the last voiced chunk`);
});

test('a loopback of an output that plays nothing at all goes on delivering silence, without an error', async (t) => {
  const [major] = wineVersion();
  if (major < 10) {
    t.skip(`Wine ${major} has no loopback capture`);
    return;
  }
  const loopback = await start('loopback', { speechEnded: true });
  let log;
  let during;
  try {
    await waitForChunks(loopback);
    // A suspended sink renders nothing, so its endpoint gives no packets: as
    // Windows' loopback does while nothing plays.
    await rig.pactl(['suspend-sink', rig.outputSink, '1']);
    await s.sleep(300);
    const before = (await win.call('status', { name: loopback.name })).chunks;
    await s.sleep(2500);
    const after = await win.call('status', { name: loopback.name });
    during = after.chunks - before;
    await rig.pactl(['suspend-sink', rig.outputSink, '0']);
    await rig.play(phrase, rig.outputSink);
    await s.sleep(800);
  } finally {
    log = await stop(loopback);
  }
  t.diagnostic(`${during} chunks in 2.5 s of a suspended output`);
  assert.ok(during >= 150, `only ${during} chunks while nothing played`);
  assert.deepEqual(log.errors, []);
  assert.equal(log.ended.length, 1, 'the phrase after the gap ended speech once');
});

test('a server killed mid-capture: one error to onData, data back by itself from the new server, a clean stop', async (t) => {
  const mic = await start('mic');
  const status = () => win.call('status', { name: mic.name });
  const until = async (predicate, ms) => {
    const deadline = performance.now() + ms;
    for (;;) {
      const now = await status();
      if (predicate(now) || performance.now() > deadline) return now;
      await s.sleep(20);
    }
  };
  let log;
  try {
    await waitForChunks(mic);
    await rig.kill();
    const killedAt = performance.now();
    // Wine's driver reports nothing when the server dies: its data just stops.
    const failed = await until((now) => now.errors.length > 0, 5000);
    const errorMs = performance.now() - killedAt;
    assert.equal(failed.errors.length, 1, 'the outage was reported');
    rig = await s.useRig({ dir: rig.dir });
    const restartedAt = performance.now();
    const { chunks } = await status();
    const resumed = await until((now) => now.chunks > chunks, 8000);
    assert.ok(resumed.chunks > chunks, 'no data from the restarted server');
    assert.deepEqual([resumed.sampleRate, resumed.channels], [48000, 2]);
    t.diagnostic(`error ${errorMs.toFixed(0)} ms after the kill, data ${(performance.now() - restartedAt).toFixed(0)} ms after the restart`);
  } finally {
    log = await stop(mic);
  }
  assert.deepEqual(log.errors.map((e) => e.code), ['GenericFailure']);
  assert.match(log.errors[0].message, /^stream error: /);
});

// Wine's endpoint notifications: it announces a change of the default that
// its driver's registry key names (as its audio settings write it), and
// nothing else: no endpoint added or removed, and not the sound server's own
// default. The key's value is the endpoint id; without it, the server's
// default at start-up is Wine's.
const DRIVER_KEY = 'HKCU\\Software\\Wine\\Drivers\\winepulse.drv';

test('watchDevices tells each change of a default endpoint once, by its listed id and name, and nothing after unwatch', async (t) => {
  const { inputs, outputs } = await listing();
  const feed = outputs.find((d) => d.name === 'Rig Microphone Feed');
  const monitor = inputs.find((d) => d.name === 'Monitor of Rig Output');
  const set = (value, id) => win.call('reg', { args: ['add', DRIVER_KEY, '/v', value, '/t', 'REG_SZ', '/d', id, '/f'] });
  const unset = (value) => win.call('reg', { args: ['delete', DRIVER_KEY, '/v', value, '/f'] }).catch(() => {});
  const events = async (count, ms = 5000) => {
    const deadline = performance.now() + ms;
    for (;;) {
      const log = await win.call('watched', { name: 'w' });
      if (log.events.length >= count || log.errors.length || performance.now() > deadline) return log;
      await s.sleep(50);
    }
  };
  await win.call('watch', { name: 'w' });
  let log;
  let sinkModule;
  try {
    await s.sleep(500);  // the watch starts off the JavaScript thread
    assert.deepEqual(await events(0), { events: [], errors: [] }, 'the starting devices give no events');
    await set('DefaultOutput', feed.id);
    await events(1);
    await set('DefaultInput', monitor.id);
    await events(2);
    sinkModule = (await rig.pactl(['load-module', 'module-null-sink', 'sink_name=watched_sink'])).trim();
    await set('DefaultOutput', feed.id);  // the same value again: no change
    await unset('DefaultOutput');
    await events(3);
    await unset('DefaultInput');
    log = await events(4);
    await s.sleep(500);  // room for a duplicate (another role) or a late endpoint event
  } finally {
    await unset('DefaultOutput');
    await unset('DefaultInput');
    if (sinkModule) await rig.pactl(['unload-module', sinkModule]);
    log = await win.call('unwatch', { name: 'w' });
  }
  assert.deepEqual(log.errors, []);
  const named = (list, id) => list.find((d) => d.id === id)?.name;
  const seen = log.events.map((e) => `${e.type} ${e.kind} ${e.name}`);
  t.diagnostic(seen.join('; '));
  assert.equal(log.events.length, 4, seen.join('; '));
  const [toFeed, toMonitor, backOut, backIn] = log.events;
  assert.deepEqual(toFeed, { type: 'default-changed', kind: 'output', id: feed.id, name: 'Rig Microphone Feed' });
  assert.deepEqual(toMonitor, { type: 'default-changed', kind: 'input', id: monitor.id, name: 'Monitor of Rig Output' });
  // Back to Wine's own defaults (its driver's endpoints that follow the
  // server's), named as the lists name them.
  assert.equal(backOut.type, 'default-changed');
  assert.equal(backOut.kind, 'output');
  assert.notEqual(backOut.id, feed.id);
  assert.equal(backOut.name, named(outputs, backOut.id));
  assert.equal(backIn.type, 'default-changed');
  assert.equal(backIn.kind, 'input');
  assert.notEqual(backIn.id, monitor.id);
  assert.equal(backIn.name, named(inputs, backIn.id));

  await set('DefaultOutput', feed.id);
  await s.sleep(700);
  await unset('DefaultOutput');
  assert.equal((await win.call('watched', { name: 'w' })).events.length, 4, 'nothing after unwatch');
});

test('a new default input endpoint moves a default microphone capture there, announced once by the id the watch gives', async (t) => {
  const { inputs } = await listing();
  const monitor = inputs.find((d) => d.name === 'Monitor of Rig Output');
  const tone = s.toneWav(fixtures, 20, 'follow-tone');
  const player = spawn('paplay', ['--device', rig.outputSink, tone], { env: s.toolEnv(rig.env), stdio: 'ignore' });
  await win.call('watch', { name: 'follow-watch' });
  const follow = await win.call('open', { name: 'follow', options: { kind: 'microphone', format: { sampleRate: 16000, channels: 1 } } });
  const pinned = await win.call('open', { name: 'follow-pinned', options: { kind: 'microphone', deviceId: follow.deviceId } });
  let status;
  let watched;
  try {
    await s.sleep(1000);
    const before = await win.call('opened', { name: 'follow' });
    assert.ok(before.chunks > 0 && before.peak < 0.01, `the rig's microphone is silent (peak ${before.peak})`);
    await win.call('reg', { args: ['add', DRIVER_KEY, '/v', 'DefaultInput', '/t', 'REG_SZ', '/d', monitor.id, '/f'] });
    const switched = performance.now();
    for (;;) {
      status = await win.call('opened', { name: 'follow' });
      if (status.peak > 0.05 || performance.now() - switched > 5000) break;
      await s.sleep(50);
    }
    t.diagnostic(`tone back ${(performance.now() - switched).toFixed(0)} ms after the registry change (polled over TCP)`);
    await s.sleep(500);
    status = await win.call('opened', { name: 'follow' });
    watched = (await win.call('watched', { name: 'follow-watch' })).events.filter((e) => e.type === 'default-changed' && e.kind === 'input');
  } finally {
    await win.call('reg', { args: ['delete', DRIVER_KEY, '/v', 'DefaultInput', '/f'] }).catch(() => {});
    await win.call('unwatch', { name: 'follow-watch' });
    player.kill();
  }
  const pinnedStatus = await win.call('opened', { name: 'follow-pinned' });
  await win.call('close', { name: 'follow' });
  await win.call('close', { name: 'follow-pinned' });
  assert.ok(status.peak > 0.05, `the monitor's tone reaches the capture (peak ${status.peak})`);
  assert.deepEqual(status.changes.slice(0, 1), [{ deviceId: monitor.id, name: 'Monitor of Rig Output', echoReference: false }]);
  assert.equal(status.deviceId, monitor.id);
  assert.equal(watched[0].id, status.changes[0].deviceId, 'the watch and the capture name the same endpoint');
  assert.deepEqual(pinnedStatus.changes, []);
  assert.notEqual(pinnedStatus.deviceId, monitor.id);
});

test('a watch stopped while it starts, and one stopped after its start, both let node.exe exit', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-watch-'));
  try {
    const result = path.join(dir, 'result.json');
    const script = `
      const fs = require('node:fs');
      const { watchDevices } = require(${JSON.stringify(path.resolve(__dirname, '..', '..', 'capture'))});
      const errors = [];
      const onError = (error) => errors.push(error.message);
      watchDevices(() => {}, { onError })();
      const unwatch = watchDevices(() => {}, { onError });
      setTimeout(() => {
        unwatch();
        fs.writeFileSync(${JSON.stringify(result)}, JSON.stringify({ errors }));
      }, 1000);`;
    const run = await runNode(['-e', script], { env: rig.env, timeout: 60000 });
    assert.equal(run.code, 0, `node.exe did not exit by itself (${run.signal}):\n${run.stdout}\n${run.stderr}`);
    assert.deepEqual(JSON.parse(fs.readFileSync(result, 'utf8')), { errors: [] });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// The echo room of the Linux tests (echo-room.js), through the capture layer
// of the Windows module, whose echo engine is speexdsp's. Its reference is a
// loopback stream, which Wine 8 refuses. Wine 10's loopback stalls a few
// seconds in and then delivers 200 ms at once, with the backend's silence in
// the gap: the reference's timing moves by an amount no fill correction
// tells, and the filter is lost until the delay estimate finds it again
// (about 2 s, more than this conversation's far end has left). Until that is
// shorter the test reports rather than fails.
test('echoCancel removes the interviewer from the microphone through speexdsp\'s engine',
  { todo: 'Wine 10\'s loopback stalls and bursts mid-conversation' }, async (t) => {
  const [major] = wineVersion();
  if (major < 10) {
    t.skip(`Wine ${major} has no loopback capture for the echo's reference`);
    return;
  }
  const { outputs } = await listing();
  const output = outputs.find((d) => d.name === 'Rig Output');
  const c = room.conversation(fixtures);
  const [latencyMs, gainDb] = [40, -6];
  const { farWav, nearWav } = room.roomTracks(fixtures, c, latencyMs, gainDb);
  const rate = 16000;
  let info;
  let plain;
  let cancelled;
  let started;
  let cpu;
  let seconds;
  await room.withLoopback(rig, latencyMs, gainDb, async () => {
    info = await win.call('open', { name: 'cancelled', options: { echoCancel: { reference: output.id } } });
    await win.call('open', { name: 'plain', options: { format: { sampleRate: rate } } });
    try {
      await s.sleep(500);
      cpu = await win.call('cpu');
      started = await win.call('now');
      await Promise.all([rig.play(farWav, rig.outputSink), rig.play(nearWav, rig.micFeedSink)]);
      await s.sleep(700);
    } finally {
      const used = await win.call('cpu');
      seconds = ((await win.call('now')) - started) / 1000;
      cpu = (used.user + used.system - cpu.user - cpu.system) / 1000 / seconds;
      plain = await win.call('close', { name: 'plain' });
      cancelled = await win.call('close', { name: 'cancelled' });
    }
  });
  assert.deepEqual(info, { sampleRate: rate, channels: 2, echoEngine: 'speex', echoReferenceId: output.id });
  assert.deepEqual(cancelled.errors, []);
  const samples = (log) => s.pcmSamples(Buffer.from(log.pcm, 'base64'));
  const startOf = (log) => Math.round(((started - log.first) * rate) / 1000);
  const at = (frames) => Math.round((frames * rate) / room.RATE);
  const from = c.farOnly.first + 2 * room.RATE;
  const far = (log) => room.energy(samples(log), 2, startOf(log) + at(from), startOf(log) + at(c.farOnly.end));
  const erle = room.db(far(plain) / far(cancelled));
  const level = (span) => room.energy(samples(cancelled), 2, startOf(cancelled) + at(span.first),
    startOf(cancelled) + at(span.end));
  const doubleTalkDb = room.db(level(c.doubleTalk) / level(c.nearOnly));
  const ends = cancelled.ended.map((time) => time - started);
  const within = (first, end) => ends.filter((ms) => ms >= (first * 1000) / room.RATE && ms < (end * 1000) / room.RATE).length;
  t.diagnostic(`Wine ${major}, speex, room ${latencyMs} ms ${gainDb} dB: ERLE ${erle.toFixed(1)} dB, ` +
    `double talk ${doubleTalkDb.toFixed(1)} dB, speech ends at ${ends.map(Math.round).join(', ')} ms; ` +
    `node.exe ${cpu.toFixed(1)} ms of CPU per s with both captures`);
  assert.ok(erle >= 20, `ERLE ${erle.toFixed(1)} dB`);
  assert.ok(Math.abs(doubleTalkDb) <= 3, `double talk changes the near voice by ${doubleTalkDb.toFixed(1)} dB`);
  assert.equal(within(from, c.nearOnly.first), 0, 'the interviewer alone ended none of the user\'s turns');
  assert.equal(within(c.nearOnly.first, c.doubleTalk.first), 1);
  assert.equal(within(c.doubleTalk.first, c.frames + room.RATE), 1);
});
