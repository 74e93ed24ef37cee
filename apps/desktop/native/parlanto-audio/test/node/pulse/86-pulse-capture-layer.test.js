'use strict';
// The capture layer (the package's `capture` subpath) on a private PulseAudio
// server: format conversion measured on tones, the sample clock over a long
// capture, a start that leaves the event loop free, speech ends on the sample
// clock, and coalesced, bounded delivery while JavaScript is blocked.

const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let fixtures;
let layer;
let addon;
s.rigPerFile((ready) => {
  ({ rig, fixtures, addon } = ready);
  layer = require('../../../capture');
});

const dB = (ratio) => 20 * Math.log10(ratio);

// Records every delivery of a capture: chunks with their clock, speech ends,
// drops, and whether each chunk started where the one before ended.
function recordLayer(capture) {
  const log = { chunks: [], ended: [], drops: [], gaps: 0, callbacks: 0 };
  let next = null;
  capture.on('data', (chunk, { frame, time }) => {
    log.callbacks++;
    const frames = chunk.length / 2 / capture.channels;
    if (next !== null && frame !== next) log.gaps++;
    next = frame + frames;
    log.chunks.push({ chunk, frame, time, at: performance.now() });
  });
  capture.on('speech-ended', (event) => log.ended.push(event));
  capture.on('drop', (event) => {
    log.drops.push(event);
    if (next !== null) next += event.frames;
  });
  log.samples = () => s.pcmSamples(Buffer.concat(log.chunks.map((c) => c.chunk)));
  log.firstFrame = () => log.chunks[0].frame;
  return log;
}

function sox(args) {
  execFileSync('sox', args, { env: s.toolEnv() });
}

// The first frame at or after `from` whose sample is louder than `level`.
function onset(samples, channels, from, level) {
  for (let i = from * channels; i < samples.length; i++) {
    if (Math.abs(samples[i]) > level) return Math.floor(i / channels);
  }
  return -1;
}

async function waitFor(predicate, ms, what) {
  const deadline = performance.now() + ms;
  while (!predicate()) {
    if (performance.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await s.sleep(10);
  }
}

test('16 kHz mono: a 1 kHz tone keeps its level, 10 kHz is gone, and 10 s of device frames are exactly 10 s of delivered frames', async (t) => {
  // 1 s of 1 kHz, 1 s of 10 kHz, silence, and a 1 kHz burst starting exactly 10 s in.
  const parts = [['1000', '1'], ['10000', '1']].map(([hz, sec], i) => {
    const file = path.join(fixtures, `part${i}.wav`);
    sox(['-n', '-r', '48000', '-c', '2', '-b', '16', file, 'synth', sec, 'sine', hz, 'vol', '0.5']);
    return file;
  });
  const quiet = path.join(fixtures, 'quiet.wav');
  sox(['-n', '-r', '48000', '-c', '2', '-b', '16', quiet, 'trim', '0', '8']);
  const burst = path.join(fixtures, 'burst.wav');
  sox(['-n', '-r', '48000', '-c', '2', '-b', '16', burst, 'synth', '0.5', 'sine', '1000', 'vol', '0.5']);
  const wav = path.join(fixtures, 'tones.wav');
  sox([...parts, quiet, burst, wav]);

  const speech = await layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 } });
  const device = await layer.openCapture({ kind: 'loopback' });
  const log16 = recordLayer(speech);
  const log48 = recordLayer(device);
  try {
    assert.equal(speech.sampleRate, 16000);
    assert.equal(speech.channels, 1);
    assert.equal(device.sampleRate, speech.deviceSampleRate);
    assert.equal(device.channels, 2);
    await waitFor(() => log16.chunks.length > 5 && log48.chunks.length > 5, 3000, 'first chunks');
    await rig.play(wav, rig.outputSink);
    await s.sleep(300);
  } finally {
    await Promise.all([speech.stop(), device.stop()]);
  }
  for (const log of [log16, log48]) {
    assert.equal(log.gaps, 0, 'frames run on without gaps or overlaps');
    assert.deepEqual(log.drops, []);
  }

  const mono = log16.samples();
  const start = onset(mono, 1, 0, 8000);
  assert.ok(start >= 0, 'the tone arrived');
  const level1k = s.rms(mono, 1, start + 2000, start + 14000);
  assert.ok(Math.abs(dB(level1k / (0.5 / Math.SQRT2))) <= 0.5, `1 kHz at ${dB(level1k / (0.5 / Math.SQRT2)).toFixed(2)} dB`);
  const level10k = s.rms(mono, 1, start + 18000, start + 30000);
  assert.ok(dB(level10k / level1k) <= -40, `10 kHz at ${dB(level10k / level1k).toFixed(1)} dB`);
  t.diagnostic(`1 kHz ${dB(level1k / (0.5 / Math.SQRT2)).toFixed(3)} dB, 10 kHz ${dB(level10k / level1k).toFixed(1)} dB`);

  // The burst starts 10 s after the first tone. The server may shift a played
  // stream, or one record stream against another, by a few frames; against
  // the device-rate capture of the same monitor, the 16 kHz one keeps pace to
  // within a millisecond over the 10 s (the unit tests count frames exactly).
  const burst16 = onset(mono, 1, start + 9 * 16000, 8000) - start;
  const stereo = log48.samples();
  const start48 = onset(stereo, 2, 0, 8000);
  const burst48 = onset(stereo, 2, start48 + 9 * 48000, 8000) - start48;
  assert.ok(Math.abs(burst48 - 480000) < 2400, `${burst48} frames between the onsets`);
  assert.ok(Math.abs(burst16 * 3 - burst48) <= 48, `${burst16} frames at 16 kHz, ${burst48} at 48 kHz`);

  // Both captures put the tone's start at the same moment of the monotonic clock.
  const timeOf = (log, frame, rate) => {
    const c = log.chunks[0];
    return c.time + ((frame + log.firstFrame() - c.frame) * 1000) / rate;
  };
  const t16 = timeOf(log16, start, 16000);
  const t48 = timeOf(log48, start48, 48000);
  assert.ok(Math.abs(t16 - t48) < 5, `onset at ${t16.toFixed(1)} and ${t48.toFixed(1)} ms`);
  assert.ok(t16 < performance.now() && t16 > performance.now() - 60000);
});

test('openCapture on a frozen server leaves the event loop running and completes once it thaws; a capture frozen for 2 s reports it once', async () => {
  // A connection to the server exists already; the open waits on it.
  const warm = await layer.openCapture({ kind: 'microphone' });
  await warm.stop();
  let ticks = 0;
  const timer = setInterval(() => ticks++, 10);
  process.kill(rig.pid, 'SIGSTOP');
  let opening;
  try {
    opening = layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 } });
    await s.sleep(600);
    assert.ok(ticks >= 20, `only ${ticks} ticks of 10 ms in 600 ms`);
  } finally {
    process.kill(rig.pid, 'SIGCONT');
    clearInterval(timer);
  }
  const capture = await opening;
  const log = recordLayer(capture);
  const errors = [];
  let resumed = 0;
  capture.on('error', (error) => errors.push(error.message));
  capture.on('resumed', () => resumed++);
  try {
    await waitFor(() => log.chunks.length >= 3, 3000, 'data after the thaw');
    // Frozen while it captures: reported once after 2 s without audio, and the
    // capture goes on when the server does.
    process.kill(rig.pid, 'SIGSTOP');
    try {
      await waitFor(() => errors.length > 0, 4000, 'the no-data report');
      await s.sleep(600);
    } finally {
      process.kill(rig.pid, 'SIGCONT');
    }
    const count = log.chunks.length;
    await waitFor(() => log.chunks.length > count + 3, 3000, 'data after the second thaw');
  } finally {
    await capture.stop();
  }
  assert.deepEqual(errors, ['stream error: no audio from the device for 2 s']);
  assert.equal(resumed, 1, "the thaw's audio says the error is over");
  assert.equal(log.gaps, 0, 'the stream was kept, not opened again');
});

test('a server frozen right after openCapture resolves is reported after 2 s, and its thaw resumes the capture', async () => {
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 } });
  process.kill(rig.pid, 'SIGSTOP');
  const events = [];
  const log = recordLayer(capture);
  capture.on('error', (error) => events.push(error.message));
  capture.on('resumed', () => events.push('resumed'));
  try {
    try {
      await waitFor(() => events.length > 0, 5000, 'the no-data report');
    } finally {
      process.kill(rig.pid, 'SIGCONT');
    }
    await waitFor(() => events.length > 1 && log.chunks.length > 3, 3000, 'resumed, then data');
  } finally {
    await capture.stop();
  }
  assert.deepEqual(events, ['stream error: no audio from the device for 2 s', 'resumed']);
});

test('the level rule: speech ends about 420 ms of audio after the last voiced frame, on the delivered clock', async (t) => {
  const wav = s.speechWav(fixtures, 'tell me about a project you are proud of', 'phrase');
  const mic = await layer.openCapture({ kind: 'microphone', format: { sampleRate: 16000, channels: 1 },
    speechEnd: { detector: 'level' } });
  const log = recordLayer(mic);
  try {
    await waitFor(() => log.chunks.length > 5, 3000, 'first chunks');
    await rig.play(wav, rig.micFeedSink);
    await waitFor(() => log.ended.length >= 1, 3000, 'speech ended');
    await s.sleep(200);
  } finally {
    await mic.stop();
  }
  assert.equal(log.ended.length, 1);
  const samples = log.samples();
  const base = log.firstFrame();
  const end = log.ended[0].frame - base;
  // The last 10 ms window before the end that is voiced by the detector's measure.
  let lastVoiced = -1;
  for (let w = 0; w + 160 <= end; w += 160) {
    if (s.rms(samples, 1, w, w + 160) >= s.GATE_THRESHOLD) lastVoiced = w + 160;
  }
  assert.ok(lastVoiced > 0, 'voice before the end');
  const silenceMs = ((end - lastVoiced) * 1000) / 16000;
  assert.ok(silenceMs >= 400 && silenceMs <= 445, `speech ended ${silenceMs} ms after the last voice`);
  t.diagnostic(`speech ended ${silenceMs} ms of audio after the last voiced 10 ms`);
  const chunk = log.chunks.find((c) => c.frame <= log.ended[0].frame && log.ended[0].frame < c.frame + c.chunk.length / 2);
  const expected = chunk.time + ((log.ended[0].frame - chunk.frame) * 1000) / 16000;
  assert.ok(Math.abs(log.ended[0].time - expected) < 2, `ended at ${log.ended[0].time}, its chunk says ${expected}`);
});

test('a JavaScript thread blocked for 2 s gets every frame in a handful of callbacks; past the bound the oldest are dropped and counted', async () => {
  const block = (ms) => {
    const until = performance.now() + ms;
    while (performance.now() < until);
  };
  const whole = await layer.openCapture({ kind: 'loopback' });
  const bounded = await layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000 }, bufferLimitMs: 500 });
  const logWhole = recordLayer(whole);
  const logBounded = recordLayer(bounded);
  try {
    await waitFor(() => logWhole.chunks.length > 5 && logBounded.chunks.length > 5, 3000, 'first chunks');
    const before = logWhole.callbacks;
    const framesBefore = logWhole.chunks.at(-1).frame;
    block(2000);
    await s.sleep(50);
    const after = logWhole.chunks.filter((_, i) => i >= before);
    const blockEnd = framesBefore + 2 * whole.sampleRate;
    const needed = after.findIndex((c) => c.frame + c.chunk.length / 4 >= blockEnd) + 1;
    assert.ok(needed >= 1 && needed <= 3, `the blocked 2 s took ${needed} of ${after.length} callbacks`);
    const backlog = after[0].chunk.length / 4;
    assert.ok(backlog >= 1.8 * whole.sampleRate, `${backlog} frames in the first callback after the block`);
    assert.ok(logWhole.chunks.at(-1).frame - framesBefore >= 1.9 * whole.sampleRate);
  } finally {
    await Promise.all([whole.stop(), bounded.stop()]);
  }
  assert.equal(logWhole.gaps, 0);
  assert.equal(whole.dropped, 0);
  assert.deepEqual(logWhole.drops, []);

  // The bounded capture: the first chunk after the block is the bound's 500 ms,
  // and the frames before it that did not fit are counted, and skipped by the clock.
  assert.ok(bounded.dropped >= 1.2 * 16000, `${bounded.dropped} frames dropped`);
  assert.equal(logBounded.drops.reduce((sum, d) => sum + d.frames, 0), bounded.dropped);
  assert.equal(logBounded.gaps, 0, 'each chunk starts where the last ended plus the frames dropped');
  const longest = Math.max(...logBounded.chunks.map((c) => c.chunk.length / 4));
  assert.ok(longest <= 8000, `a chunk of ${longest} frames exceeds the 500 ms bound`);
});

test('after the server dies and comes back, the capture resumes by itself and its frames skip the gap', async () => {
  const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 } });
  const log = recordLayer(capture);
  const errors = [];
  let resumed = 0;
  capture.on('error', (error) => errors.push(error));
  capture.on('resumed', () => resumed++);
  try {
    await waitFor(() => log.chunks.length > 5, 3000, 'first chunks');
    await rig.kill();
    await waitFor(() => errors.length > 0, 3000, 'the stream error');
    const before = log.chunks.at(-1);
    const end = before.frame + before.chunk.length / 2;
    // Down for longer than the no-data report waits: the new stream's silence
    // counts from its opening, not from the old stream's last audio.
    await s.sleep(2500);
    rig = await s.useRig({ dir: rig.dir });
    await waitFor(() => resumed === 1, 5000, 'resumed');
    const count = log.chunks.length;
    await waitFor(() => log.chunks.length > count + 3, 3000, 'data after the resume');
    await s.sleep(500);
    const after = log.chunks.find((c) => c.frame >= end);
    const gapMs = ((after.frame - end) * 1000) / 16000;
    const waitedMs = after.time - (before.time + (before.chunk.length / 2) * 1000 / 16000);
    assert.ok(gapMs >= 2500, `the frames skip ${gapMs} ms`);
    assert.ok(Math.abs(gapMs - waitedMs) < 50, `skipped ${gapMs} ms of frames over ${waitedMs} ms`);
  } finally {
    await capture.stop();
  }
  assert.equal(errors[0].code, 'GenericFailure');
  assert.match(errors[0].message, /^stream error: /);
  assert.deepEqual(errors.slice(1).map((e) => e.message), [], 'one error, none after the resume');
  assert.equal(log.gaps, 1, 'the frames jump once, over the gap, and nowhere else');
});

test('a device watch started while no server runs connects once one starts and tells its devices', async () => {
  await rig.kill();
  const events = [];
  const unwatch = layer.watchDevices((event) => events.push(`${event.type} ${event.kind} ${event.id}`),
    { onError: (error) => events.push(`error ${error.message}`) });
  try {
    await s.sleep(1000);
    assert.deepEqual(events, [], 'no server is not an error for a watch');
    rig = await s.useRig({ dir: rig.dir });
    await waitFor(() => events.includes('default-changed input source:rig_mic'), 5000, 'the new server\'s devices');
    await rig.pactl(['load-module', 'module-null-sink', 'sink_name=late_sink']);
    await waitFor(() => events.includes('added output sink:late_sink'), 3000, 'a device added afterwards');
  } finally {
    unwatch();
  }
  for (const expected of ['added output sink:rig_output', 'added input source:rig_mic',
    'default-changed output sink:rig_output']) {
    assert.ok(events.includes(expected), `${expected} in ${events.join(', ')}`);
  }
  assert.ok(!events.some((e) => e.startsWith('error')), events.join(', '));
});

test('appName names the streams in mixers; without it they keep the module\'s name; no client shares memory with the server', async () => {
  const named = await layer.openCapture({ kind: 'loopback', appName: 'Interview Helper' });
  const plain = await layer.openCapture({ kind: 'microphone' });
  let outputs;
  let clients;
  try {
    outputs = await rig.pactl(['list', 'source-outputs']);
    clients = await rig.pactl(['list', 'clients']);
  } finally {
    await Promise.all([named.stop(), plain.stop()]);
  }
  // A server that dies while a client sets up its shared-memory channel
  // leaves libpulse spinning with its lock held; the module's connections
  // (the host's, the streams', the watch's) never ask for one.
  const ours = clients.split(/\n(?=Client #)/).filter((block) => /application\.name = "parlanto_audio"/.test(block));
  assert.ok(ours.length > 0, clients);
  for (const block of ours) assert.match(block, /context\.force\.disable\.shm = "yes"/);
  const streams = outputs.split(/\n(?=Source Output #)/).filter((block) => /media\.name = "(System audio|Microphone)"/.test(block));
  const names = streams.map((block) => [block.match(/media\.name = "([^"]*)"/)[1], block.match(/application\.name = "([^"]*)"/)[1]]);
  assert.deepEqual(names.sort(), [['Microphone', 'parlanto_audio'], ['System audio', 'Interview Helper']]);
});

test('watchDevices tells of a sink and a source loaded, made default and unloaded, and unwatch lets the process exit', async () => {
  const events = [];
  const unwatch = layer.watchDevices((event) => events.push(event), { onError: (error) => events.push(error) });
  let sinkModule;
  let sourceModule;
  try {
    await s.sleep(300);  // the watch starts off this thread
    sinkModule = (await rig.pactl(['load-module', 'module-null-sink', 'sink_name=watched_sink',
      'sink_properties=device.description=Watched'])).trim();
    sourceModule = (await rig.pactl(['load-module', 'module-null-source', 'source_name=watched_source'])).trim();
    await rig.pactl(['set-default-sink', 'watched_sink']);
    await rig.pactl(['set-default-source', 'watched_source']);
    await rig.pactl(['unload-module', sinkModule]);
    await rig.pactl(['unload-module', sourceModule]);
    await waitFor(() => events.length >= 8, 3000, 'eight device events');
  } finally {
    unwatch();
  }
  const seen = events.map((e) => `${e.type} ${e.kind} ${e.id}`);
  for (const expected of [
    'added output sink:watched_sink', 'added input source:watched_source',
    'default-changed output sink:watched_sink', 'default-changed input source:watched_source',
    'removed output sink:watched_sink', 'removed input source:watched_source',
    'default-changed output sink:rig_output', 'default-changed input source:rig_mic',
  ]) {
    assert.ok(seen.includes(expected), `${expected} in ${seen.join(', ')}`);
  }
  assert.ok(!seen.some((e) => e.includes('.monitor')), 'monitors are not devices');
  assert.equal(events.find((e) => e.id === 'sink:watched_sink').name, 'Watched');
  assert.ok(seen.indexOf('added output sink:watched_sink') < seen.indexOf('removed output sink:watched_sink'));
  const count = events.length;
  await rig.pactl(['load-module', 'module-null-sink', 'sink_name=unwatched']);
  await s.sleep(200);
  assert.equal(events.length, count, 'nothing after unwatch');

  // In a process of its own: a watch keeps it alive until unwatch().
  const child = (unwatchAfterMs) => spawnSync(process.execPath, ['-e', `
    const unwatch = require(${JSON.stringify(path.resolve(__dirname, '../../../capture'))}).watchDevices(() => {});
    if (${unwatchAfterMs} >= 0) setTimeout(unwatch, ${unwatchAfterMs});`],
  { env: { ...process.env }, timeout: 3000 });
  assert.equal(child(200).status, 0);
  assert.equal(child(-1).signal, 'SIGTERM', 'a watch without unwatch keeps the process running');
});

test('openCapture rejects bad options and a device failure as start() throws it', async () => {
  await assert.rejects(layer.openCapture({ kind: 'speaker' }), { code: 'InvalidArg' });
  await assert.rejects(layer.openCapture({ format: { sampleRate: 4000 } }), { code: 'InvalidArg' });
  await assert.rejects(layer.openCapture({ format: { channels: 3 } }), { code: 'InvalidArg' });
  const modules = await rig.pactl(['list', 'short', 'modules']);
  const line = modules.split('\n').find((l) => l.includes(`source_name=${rig.micSource} `));
  await rig.pactl(['unload-module', line.split('\t')[0]]);
  await rig.pactl(['unload-module', 'module-null-sink']);
  // The rig is not restored; this test runs last.
  let thrown;
  assert.throws(() => new addon.ParlantoSystemLoopback().start(() => {}), (error) => Boolean(thrown = error));
  await assert.rejects(layer.openCapture({ kind: 'loopback' }), (error) => {
    assert.equal(error.code, 'GenericFailure');
    assert.equal(error.message, 'No default output device (system audio)');
    assert.equal(error.message, thrown.message);
    assert.equal(String(error.cause), String(thrown.cause));
    return true;
  });
});
