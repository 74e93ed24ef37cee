'use strict';
// Captures of the capture layer that follow the default device, on a private
// server (PulseAudio, or PipeWire with PARLANTO_RIG_SERVER=pipewire): the
// default output switched while a stream plays there (headphones plugged in),
// the default input switched, the default sink replaced by another (a
// Bluetooth headset changing profile), a pinned capture, the echo reference,
// a server restart, and many switches in a row.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let fixtures;
let layer;
let tone;
s.rigPerFile((ready) => {
  ({ rig, fixtures } = ready);
  layer = require('../../../capture');
  tone = path.join(fixtures, 'tone.wav');
  execFileSync('sox', ['-n', '-r', '48000', '-c', '2', '-b', '16', tone, 'synth', '60', 'sine', '440', 'vol', '0.5'],
    { env: s.toolEnv() });
});

const RATE = 16000;
const LOUD = 0.05;  // a chunk's RMS while the tone plays; silence is 0
const MOVE_BOUND_MS = 500;
const figures = [];

// Every chunk with its level and clock, the jumps of the frame count, and the
// capture's device events.
function follow(capture) {
  const log = { chunks: [], jumps: [], changes: [], errors: [], ended: [], resumed: 0 };
  let next = null;
  capture.on('data', (chunk, { frame, time }) => {
    const frames = chunk.length / 2 / capture.channels;
    if (next !== null && frame !== next) {
      const last = log.chunks.at(-1);
      log.jumps.push({ frames: frame - next, ms: time - (last.time + (last.frames * 1000) / RATE), index: log.chunks.length });
    }
    next = frame + frames;
    const samples = s.pcmSamples(chunk);
    log.chunks.push({ frame, frames, time, level: s.rms(samples, capture.channels), samples });
  });
  capture.on('drop', ({ frames }) => {
    if (next !== null) next += frames;
  });
  capture.on('device-changed', (event) => log.changes.push(event));
  capture.on('speech-ended', (event) => log.ended.push(event));
  capture.on('resumed', () => log.resumed++);
  capture.on('error', (error) => log.errors.push(error));
  return log;
}

async function waitFor(predicate, ms, what) {
  const deadline = performance.now() + ms;
  while (!predicate()) {
    if (performance.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await s.sleep(10);
  }
}

// Milliseconds from `since` (performance.now()) to the first loud frame the
// capture delivered after it from the device it moved to (after the frame
// count's jump, not the old device's last buffers), read off the chunks' own
// clock.
function levelBackAfter(log, since, { moved = true } = {}, channels = 1) {
  const jump = log.jumps.find((j) => log.chunks[j.index] && log.chunks[j.index].time >= since);
  if (moved && !jump) return Infinity;
  for (const chunk of log.chunks.slice(jump ? jump.index : 0)) {
    if (chunk.time + (chunk.frames * 1000) / RATE < since) continue;
    for (let i = 0; i < chunk.samples.length; i += channels) {
      const at = chunk.time + (i / channels) * 1000 / RATE;
      if (at >= since && Math.abs(chunk.samples[i]) / 32768 > LOUD) return at - since;
    }
  }
  return Infinity;
}

async function waitLoud(log, since, what, options) {
  await waitFor(() => levelBackAfter(log, since, options) < Infinity, 3000, what);
  return levelBackAfter(log, since, options);
}

// The capture still carries the player's tone: a loud chunk in its last
// 300 ms. A player at a call's latency can miss a period on a loaded machine,
// which leaves one quiet chunk on any device.
const stillLoud = (log) => {
  const end = log.chunks.at(-1).time;
  return log.chunks.some((c) => c.time >= end - 300 && c.level > LOUD);
};

// Waits for the capture to carry the tone again; a stalled player on the
// loaded machine can leave more than one chunk quiet. The failure names the
// levels of the last second, per chunk.
async function assertStillLoud(log, what) {
  try {
    await waitFor(() => stillLoud(log), 2000, what);
  } catch {
    const end = log.chunks.at(-1).time;
    const levels = log.chunks.filter((c) => c.time >= end - 1000).map((c) => c.level.toFixed(3));
    assert.fail(`${what}: the last second's levels ${levels.join(' ')}`);
  }
}

const quietSince = (log, since) => log.chunks.filter((c) => c.time > since).every((c) => c.level < LOUD / 10);

// Each frame jump is a move's gap: as long on the frame count as on the clock.
function assertContinuous(log, moves) {
  assert.ok(log.jumps.length <= moves, `${log.jumps.length} jumps of the frame count for ${moves} moves`);
  for (const jump of log.jumps) {
    assert.ok(Math.abs((jump.frames * 1000) / RATE - jump.ms) < 50, `a jump of ${jump.frames} frames over ${jump.ms} ms`);
  }
}

// A sink that stands for a device: without rewinds a null sink renders in
// small blocks, as hardware does, instead of seconds ahead of a new player,
// which a recorder joining its monitor would wait out.
async function loadSink(name, description = name) {
  return (await rig.pactl(['load-module', 'module-null-sink', `sink_name=${name}`, 'rate=48000', 'channels=2', 'norewinds=1',
    `sink_properties=device.description=${description}`])).trim();
}

// The sink input that paplay plays through, once it plays.
async function sinkInputOf(player) {
  for (let i = 0; i < 300; i++) {
    const inputs = (await rig.pactl(['list', 'short', 'sink-inputs'])).trim().split('\n').filter(Boolean);
    if (inputs.length > 0) return inputs.at(-1).split('\t')[0];
    await s.sleep(10);
  }
  throw new Error(`no sink input for ${player}`);
}

// A call's playback, at a call's latency. A player at paplay's default
// latency lets a null sink render seconds ahead, and a recorder that joins
// its monitor then waits that long for its first audio: the rig's doing, not
// the capture's.
const players = [];
function play(sink) {
  const player = spawn('paplay', ['--latency-msec=30', '--device', sink, tone], { env: s.toolEnv(), stdio: 'ignore' });
  players.push(player);
  return player;
}

// Makes a device the server's default and waits until the server reports it:
// WirePlumber applies a default a moment after pactl returns.
async function setDefault(kind, name) {
  await rig.pactl([`set-default-${kind}`, name]);
  for (let i = 0; i < 100 && (await rig.pactl([`get-default-${kind}`])).trim() !== name; i++) await s.sleep(20);
}

async function restoreDefaults() {
  for (const player of players.splice(0)) {
    if (player.exitCode === null) player.kill();
  }
  await setDefault('sink', rig.outputSink);
  await setDefault('source', rig.micSource);
}

test('headphones: the default output moves with its playing stream, the loopback follows within 500 ms, once; a pinned loopback stays', async () => {
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: RATE, channels: 1 } });
  const pinned = await layer.openCapture({ kind: 'loopback', deviceId: `sink:${rig.outputSink}`, format: { sampleRate: RATE, channels: 1 } });
  const log = follow(capture);
  const pinnedLog = follow(pinned);
  const events = [];
  const unwatch = layer.watchDevices((event) => events.push(event));
  const module = await loadSink('phones', 'Headphones');
  try {
    play(rig.outputSink);
    const input = await sinkInputOf('the call');
    const opened = performance.now();
    await waitLoud(log, opened, 'the call on the loopback', { moved: false });
    await s.sleep(300);

    await rig.pactl(['move-sink-input', input, 'phones']);
    const switched = performance.now();
    await rig.pactl(['set-default-sink', 'phones']);
    const latency = await waitLoud(log, switched, 'the call on the headphones');
    figures.push(['headphones (default output + its stream moved)', latency]);
    assert.ok(latency < MOVE_BOUND_MS, `audio back ${latency.toFixed(0)} ms after the switch`);
    await waitFor(() => log.changes.length > 0, 2000, 'device-changed');
    await s.sleep(500);

    assert.equal(log.changes.length, 1, JSON.stringify(log.changes));
    assert.deepEqual(log.changes[0], { deviceId: 'sink:phones', name: 'Headphones', echoReference: false });
    assert.equal(capture.deviceId, 'sink:phones');
    const watched = events.filter((e) => e.type === 'default-changed' && e.kind === 'output').at(-1);
    assert.equal(watched.id, log.changes[0].deviceId, 'watchDevices and the capture name the same device');
    assert.equal(log.errors.length, 0);
    assertContinuous(log, 1);
    assert.deepEqual((await s.ownRecordSources(rig)).sort(), ['phones.monitor', `${rig.outputSink}.monitor`].sort(),
      'the server records the headphones and the pinned output');
    await assertStillLoud(log, 'still hearing the call');
    assert.deepEqual(log.ended, [], 'the call went on through the move: no speech end');

    assert.equal(pinnedLog.changes.length, 0);
    assert.equal(pinned.deviceId, `sink:${rig.outputSink}`);
    assert.ok(quietSince(pinnedLog, switched + 300), 'the pinned loopback stays on the old output, now silent');
  } finally {
    unwatch();
    await capture.stop();
    await pinned.stop();
    await restoreDefaults();
    await rig.pactl(['unload-module', module]);
  }
});

test('headset microphone: the default input switched, the microphone follows within 500 ms, once', async () => {
  const feed = await loadSink('headset_feed');
  const source = (await rig.pactl(['load-module', 'module-remap-source', 'source_name=headset_mic',
    'master=headset_feed.monitor', 'source_properties=device.description=Headset'])).trim();
  const capture = await layer.openCapture({ kind: 'microphone', format: { sampleRate: RATE, channels: 1 } });
  const log = follow(capture);
  // The rig's microphone is a remap of a null sink's monitor, which, while
  // nobody records it, runs seconds behind; a headset's is a hardware source.
  // A recorder already on it keeps the remap at a call's latency.
  const keeper = await layer.openCapture({ kind: 'microphone', deviceId: 'source:headset_mic', format: { sampleRate: RATE, channels: 1 } });
  const keeperLog = follow(keeper);
  try {
    play('headset_feed');
    await sinkInputOf('the voice');
    await waitLoud(keeperLog, performance.now(), 'the headset microphone itself', { moved: false });
    await s.sleep(500);
    assert.ok(quietSince(log, performance.now() - 300), 'the old microphone hears nothing');
    const switched = performance.now();
    await rig.pactl(['set-default-source', 'headset_mic']);
    const latency = await waitLoud(log, switched, 'the headset microphone');
    figures.push(['default input switched', latency]);
    assert.ok(latency < MOVE_BOUND_MS, `audio back ${latency.toFixed(0)} ms after the switch`);
    await waitFor(() => log.changes.length > 0, 2000, 'device-changed');
    await s.sleep(500);
    assert.deepEqual(log.changes, [{ deviceId: 'source:headset_mic', name: 'Headset', echoReference: false }]);
    assert.equal(capture.deviceId, 'source:headset_mic');
    assertContinuous(log, 1);
  } finally {
    await capture.stop();
    await keeper.stop();
    await restoreDefaults();
    await rig.pactl(['unload-module', source]);
    await rig.pactl(['unload-module', feed]);
  }
});

test('a Bluetooth profile switch: the default sink goes away and another becomes default; the loopback ends on it, with one device-changed', async () => {
  const music = await loadSink('bt_music', 'Headset-Music');
  await setDefault('sink', 'bt_music');
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: RATE, channels: 1 } });
  const log = follow(capture);
  const madeDefault = [];
  const unwatch = layer.watchDevices((event) => {
    if (event.type === 'default-changed' && event.id === 'sink:bt_call') madeDefault.push(performance.now());
  });
  let call;
  try {
    assert.equal(capture.deviceId, 'sink:bt_music');
    const musicPlayer = play('bt_music');
    await waitLoud(log, performance.now(), 'music', { moved: false });
    // The music stops with its profile. Left playing, PipeWire moves it to
    // the new default beside the call, where the two tones can cancel.
    musicPlayer.kill();
    await rig.pactl(['unload-module', music]);
    call = await loadSink('bt_call', 'Headset-Call');
    play('bt_call');
    await sinkInputOf('the call');
    const switched = performance.now();
    await rig.pactl(['set-default-sink', 'bt_call']);
    // The server may have made the new sink its default already, as it
    // appeared: the change counts from the first word of it.
    await waitFor(() => madeDefault.length > 0, 2000, 'the new default announced');
    const since = Math.min(switched, madeDefault[0]);
    const latency = await waitLoud(log, since, 'the call', { moved: false });
    figures.push(['Bluetooth profile (sink replaced)', latency]);
    assert.ok(latency < MOVE_BOUND_MS, `audio back ${latency.toFixed(0)} ms after the new default`);
    await s.sleep(1500);  // past the wait for a replacement
    assert.deepEqual(log.changes, [{ deviceId: 'sink:bt_call', name: 'Headset-Call', echoReference: false }]);
    assert.equal(capture.deviceId, 'sink:bt_call');
    assert.deepEqual(await s.ownRecordSources(rig), ['bt_call.monitor'], 'the server records the call\'s sink');
    await assertStillLoud(log, 'still hearing the call');
  } finally {
    unwatch();
    await capture.stop();
    await restoreDefaults();
    if (call) await rig.pactl(['unload-module', call]);
  }
});

test('an echo-cancelled microphone moves its reference to the new default output; the microphone keeps flowing', { skip: process.env.PARLANTO_AUDIO_ECHO_ENGINE !== '1' && 'built without the echo engine' }, async () => {
  const module = await loadSink('speakers2', 'Speakers-2');
  const capture = await layer.openCapture({ kind: 'microphone', format: { sampleRate: RATE, channels: 1 }, echoCancel: { reference: 'default' } });
  const log = follow(capture);
  try {
    assert.equal(capture.echoReferenceId, `sink:${rig.outputSink}`);
    // The call plays on the new output. For its first seconds a null sink
    // renders the player's prebuffer ahead, and a recorder that joins its
    // monitor then hears nothing for about a second: the rig's doing.
    play('speakers2');
    await sinkInputOf('the call');
    await s.sleep(2500);
    await rig.pactl(['set-default-sink', 'speakers2']);
    await waitFor(() => log.changes.length > 0, 2000, 'device-changed');
    await s.sleep(500);
    assert.deepEqual(log.changes, [{ deviceId: 'sink:speakers2', name: 'Speakers-2', echoReference: true }]);
    assert.equal(capture.echoReferenceId, 'sink:speakers2');
    assert.equal(capture.deviceId, `source:${rig.micSource}`);
    assertContinuous(log, 0);
    assert.deepEqual(log.errors, [], 'cancellation never paused');
  } finally {
    await capture.stop();
    await restoreDefaults();
    await rig.pactl(['unload-module', module]);
  }
});

test('a default switched while the server restarts: the capture ends on the new server\'s default, announced once', async () => {
  await loadSink('phones', 'Headphones');
  await setDefault('sink', 'phones');
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: RATE, channels: 1 } });
  const log = follow(capture);
  try {
    assert.equal(capture.deviceId, 'sink:phones');
    await waitFor(() => log.chunks.length > 5, 3000, 'first chunks');
    await rig.kill();
    // The new server has no phones: its default is the rig's output.
    rig = await s.useRig({ dir: rig.dir });
    play(rig.outputSink);
    const back = performance.now();
    await waitLoud(log, back, 'audio from the new server', { moved: false });
    await waitFor(() => log.changes.length > 0, 4000, 'device-changed');
    await s.sleep(500);
    assert.deepEqual(log.changes, [{ deviceId: `sink:${rig.outputSink}`, name: log.changes[0].name, echoReference: false }]);
    assert.equal(capture.deviceId, `sink:${rig.outputSink}`);
  } finally {
    await capture.stop();
    await restoreDefaults();
  }
});

test('200 switches back and forth: the loopback ends on the last default, with no more threads, descriptors or memory', async () => {
  const module = await loadSink('phones', 'Headphones');
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: RATE, channels: 1 } });
  const log = follow(capture);
  const threads = () => fs.readdirSync('/proc/self/task').length;
  const descriptors = () => fs.readdirSync('/proc/self/fd').length;
  const switchTo = (sink) => rig.pactl(['set-default-sink', sink]);
  try {
    // Both outputs play: PipeWire pauses an idle null sink, whose monitor
    // then gives nothing (and the capture says so after 2 s).
    play('phones');
    play(rig.outputSink);
    // Warm up, so the first move's lasting allocations do not count.
    for (const sink of ['phones', rig.outputSink, 'phones', rig.outputSink]) {
      await switchTo(sink);
      await s.sleep(100);
    }
    await waitFor(() => capture.deviceId === `sink:${rig.outputSink}`, 3000, 'the warm-up settled');
    global.gc?.();
    const before = { threads: threads(), descriptors: descriptors(), rss: process.memoryUsage().rss };
    for (let i = 0; i < 200; i++) await switchTo(i % 2 === 0 ? 'phones' : rig.outputSink);
    await waitFor(() => capture.deviceId === `sink:${rig.outputSink}`, 3000, 'the last switch');
    await s.sleep(500);
    global.gc?.();
    const after = { threads: threads(), descriptors: descriptors(), rss: process.memoryUsage().rss };
    assert.ok(after.threads <= before.threads + 1, `threads ${before.threads} -> ${after.threads}`);
    assert.ok(after.descriptors <= before.descriptors + 2, `descriptors ${before.descriptors} -> ${after.descriptors}`);
    // The address sanitizer keeps freed memory in quarantine: resident size says nothing there.
    if (!/asan/.test(process.env.LD_PRELOAD || '')) {
      assert.ok(after.rss - before.rss < 16 * 1024 * 1024, `rss ${before.rss} -> ${after.rss}`);
    }
    const count = log.chunks.length;
    await waitFor(() => log.chunks.length > count + 3, 2000, 'audio after the switches');
    assert.deepEqual(log.errors.map((e) => e.message), []);
    figures.push(['200 switches: moves', log.changes.length]);
  } finally {
    await capture.stop();
    await restoreDefaults();
    await rig.pactl(['unload-module', module]);
  }
});

test('figures', () => {
  for (const [what, value] of figures) console.log(`# ${rig.server}: ${what}: ${typeof value === 'number' ? value.toFixed(0) : value}`);
});
