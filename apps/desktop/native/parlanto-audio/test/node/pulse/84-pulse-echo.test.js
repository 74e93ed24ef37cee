'use strict';
// Echo cancellation through openCapture on a private PulseAudio server, in
// the room of echo-room.js: a microphone capture with echoCancel, referenced
// on the output sink, beside a plain capture of the same microphone.

const assert = require('node:assert/strict');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');
const room = require('../support/echo-room.js');

const { RATE, energy, db } = room;
// Each engine the build has: speexdsp's runs at 16 kHz, WebRTC's at the microphone's 48.
// One engine a process: the build's test runner gives each its own (a second
// engine's rooms after the first's on the same server lose their filter).
const engines = (process.env.PARLANTO_AUDIO_ECHO_ENGINES || 'webrtc').split(',');
const engineRate = { webrtc: 48000, speex: 16000 };
// How long each engine is given to converge on the interviewer alone: speex's
// adaptive filter at times still lets the loud room's echo through for a few
// milliseconds past 2 s.
const convergeMs = { webrtc: 2000, speex: 2500 };
// A second run for another engine repeats only the rooms.
const roomsOnly = process.env.PARLANTO_ECHO_ROOMS_ONLY === '1' ? 'run with the first engine' : false;
// A sanitizer slows the audio threads and holds freed memory back.
const sanitized = /asan|tsan/.test(process.env.LD_PRELOAD || '');
let rig;
let fixtures;
let layer;
s.rigPerFile((ready) => {
  ({ rig, fixtures } = ready);
  layer = require('../../../capture');
});

// Every chunk and event of a capture; frameAt(time) is the index, in
// samples(), of the frame captured at that performance.now() time.
function recordCapture(capture) {
  // ended: when each turn ended; voiceEnded: when its last voiced audio was.
  const log = { chunks: [], ended: [], voiceEnded: [], errors: [], resumed: 0, gaps: 0 };
  let next = null;
  capture.on('data', (chunk, position) => {
    if (next !== null && position.frame !== next) log.gaps++;
    next = position.frame + chunk.length / 2 / capture.channels;
    log.chunks.push({ chunk, ...position });
  });
  capture.on('speech-ended', ({ time, frame, endFrame }) => {
    log.ended.push(time);
    log.voiceEnded.push(time - ((frame - endFrame) * 1000) / capture.sampleRate);
  });
  capture.on('error', (error) => log.errors.push(error.message));
  capture.on('resumed', () => log.resumed++);
  log.samples = () => s.pcmSamples(Buffer.concat(log.chunks.map((c) => c.chunk)));
  log.frameAt = (time) => Math.round(((time - log.chunks[0].time) * capture.sampleRate) / 1000);
  log.framesSince = (time) => log.chunks.filter((c) => c.time >= time)
    .reduce((sum, c) => sum + c.chunk.length / 2 / capture.channels, 0);
  return log;
}

const ownRecordStreams = async () => (await s.ownRecordSources(rig)).length;

async function waitFor(predicate, ms, what) {
  const deadline = performance.now() + ms;
  while (!(await predicate())) {
    if (performance.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await s.sleep(20);
  }
}

async function outputModule() {
  return (await rig.pactl(['list', 'short', 'modules']))
    .split('\n').find((line) => line.includes(`sink_name=${rig.outputSink} `)).split('\t')[0];
}

async function restoreOutput() {
  await rig.pactl(['load-module', 'module-null-sink', `sink_name=${rig.outputSink}`, 'rate=48000', 'channels=2']);
  await rig.pactl(['set-default-sink', rig.outputSink]);
}

test('echoCancel is refused on a loopback and for a reference that is not an output device', { skip: roomsOnly }, async () => {
  await assert.rejects(layer.openCapture({ kind: 'loopback', echoCancel: { reference: 'default' } }),
    { code: 'InvalidArg', message: /microphone capture, not a loopback/ });
  await assert.rejects(layer.openCapture({ echoCancel: { reference: '' } }), { code: 'InvalidArg' });
  await assert.rejects(layer.openCapture({ echoCancel: { reference: 'default', gainControl: 'yes' } }),
    { code: 'InvalidArg' });
  await assert.rejects(layer.openCapture({ echoCancel: { reference: 'sink:no_such_sink' } }),
    { code: 'GenericFailure', message: /echo cancellation: no output device has the id 'sink:no_such_sink'/ });
  // A microphone is no reference.
  const [input] = require(process.env.PARLANTO_AUDIO_ADDON).listInputDevices();
  await assert.rejects(layer.openCapture({ echoCancel: { reference: input.id } }),
    { message: /no output device has the id/ });
  assert.equal(await ownRecordStreams(), 0, 'a refused capture leaves no stream behind');
});

// Both rooms delay the echo 60-100 ms in all (server loopback plus the
// reverberation's pre-delay) and attenuate it 6 or 12 dB. The loud room (6 dB
// from speaker to microphone) costs the near voice about 3 dB in double talk
// on this server, at times a little more; the quieter one stays well within.
for (const engine of engines) for (const [latencyMs, gainDb, doubleTalkLimit] of [[40, -6, 4], [80, -12, 3]]) {
  test(`the interviewer is removed from the microphone (${engine}, ${latencyMs} ms, ${gainDb} dB room)`, async (t) => {
    const c = room.conversation(fixtures);
    const { farWav, nearWav } = room.roomTracks(fixtures, c, latencyMs, gainDb);
    let started = 0;
    let plain;
    let cancelled;
    let info;
    const playRoom = () => room.withLoopback(rig, latencyMs, gainDb, async () => {
      // The plain capture at the canceller's rate, so the two compare sample for sample.
      const plainCapture = await layer.openCapture({ kind: 'microphone', format: { sampleRate: engineRate[engine] } });
      const capture = await layer.openCapture({ kind: 'microphone', echoCancel: { reference: 'default', engine } });
      info = { rate: capture.sampleRate, channels: capture.channels, reference: capture.echoReferenceId,
        engine: capture.echoEngine };
      plain = recordCapture(plainCapture);
      cancelled = recordCapture(capture);
      try {
        await s.sleep(500);
        started = performance.now();
        await Promise.all([rig.play(farWav, rig.outputSink), rig.play(nearWav, rig.micFeedSink)]);
        await s.sleep(700);
      } finally {
        await Promise.all([plainCapture.stop(), capture.stop()]);
      }
    });
    // The questions alone in thirds, and the one over the answer.
    const third = Math.floor((c.farOnly.end - c.farOnly.first) / 3);
    const spans = [0, 1, 2].map((i) => ({ first: c.farOnly.first + i * third, end: c.farOnly.first + (i + 1) * third }))
      .concat([c.doubleTalk]);
    // A run in which the rig's own echo path moved measures the rig, not the
    // canceller: played again, three times at most.
    let paths;
    for (let attempt = 1; ; attempt++) {
      await playRoom();
      paths = room.echoPaths(plain.samples(), info.channels, info.rate, plain.frameAt(started), c.far, spans);
      const moved = Math.max(...paths) - Math.min(...paths);
      if (moved <= 2) break;
      assert.ok(attempt < 3, `the rig's echo path moved in every run: ${paths.join(', ')} ms`);
      t.diagnostic(`the rig's echo path moved in mid-run (${paths.join(', ')} ms): played again`);
    }
    assert.deepEqual(info, { rate: engineRate[engine], channels: 2, reference: `sink:${rig.outputSink}`, engine });
    // The conversation's spans are frames at RATE; the captures' at the canceller's rate.
    const at = (frames) => Math.round((frames * info.rate) / RATE);
    assert.equal(plain.gaps + cancelled.gaps, 0);

    const ch = info.channels;
    const plainSamples = plain.samples();
    const cancelledSamples = cancelled.samples();
    const p0 = plain.frameAt(started);
    const c0 = cancelled.frameAt(started);
    // After convergence on the interviewer alone.
    const from = c.farOnly.first + (convergeMs[engine] * RATE) / 1000;
    const plainFar = energy(plainSamples, ch, p0 + at(from), p0 + at(c.farOnly.end));
    const cancelledFar = energy(cancelledSamples, ch, c0 + at(from), c0 + at(c.farOnly.end));
    const erle = db(plainFar / cancelledFar);
    const level = (span) => energy(cancelledSamples, ch, c0 + at(span.first), c0 + at(span.end));
    const doubleTalkDb = db(level(c.doubleTalk) / level(c.nearOnly));
    console.log(`# ${engine}, room ${latencyMs} ms ${gainDb} dB: ERLE ${erle.toFixed(1)} dB` +
      `${erle >= 25 ? '' : ' (under the 25 dB goal)'}, double talk ${doubleTalkDb.toFixed(1)} dB, ` +
      `echo path ${paths.join('/')} ms`);

    assert.deepEqual(cancelled.errors, []);
    assert.ok(plainFar > 0, 'the echo reached the plain microphone');
    // The goal is 25 dB; on an idle machine the rooms give 29-51 dB, and a
    // loaded one (a build beside the test) costs the quieter room a few dB.
    // Passing the microphone through gives 0 dB.
    assert.ok(erle >= 20, `ERLE ${erle.toFixed(1)} dB`);
    assert.ok(Math.abs(doubleTalkDb) <= doubleTalkLimit, `double talk changes the near voice by ${doubleTalkDb.toFixed(1)} dB`);
    const within = (ends, first, end) =>
      ends.filter((t) => t - started >= (first * 1000) / RATE && t - started < (end * 1000) / RATE).length;
    const shown = (ends) => ends.map((t) => Math.round(t - started)).join(', ');
    // Without cancellation the interviewer's pauses end the user's speech.
    assert.ok(within(plain.ended, from, c.nearOnly.first) >= 1, `plain speech ends at ${shown(plain.ended)} ms`);
    // Once the canceller has converged the echo is never heard as a voice: a
    // turn that it opened while converging counts where its voice ended, not
    // where the silence after it did. The answer alone is one turn, and so is
    // the answer over the next question. Under a sanitizer, with both cores
    // busy, the engines at times let the echo's tail through as a voice, or
    // suppress the answer in double talk long enough to split it (WebRTC's:
    // 5 runs in 8, against 1 in 8 in a plain build): reported there, not
    // asserted.
    const turns = [
      [within(cancelled.voiceEnded, from, c.nearOnly.first), 0,
        `voice ends at ${shown(cancelled.voiceEnded)} ms (speech ends at ${shown(cancelled.ended)} ms)`],
      [within(cancelled.ended, c.nearOnly.first, c.doubleTalk.first), 1, `speech ends at ${shown(cancelled.ended)} ms`],
      [within(cancelled.ended, c.doubleTalk.first, c.frames + RATE), 1, `speech ends at ${shown(cancelled.ended)} ms`],
    ];
    for (const [count, expected, message] of turns) {
      if (sanitized && count !== expected) t.diagnostic(`${message} (not asserted under a sanitizer)`);
      else assert.equal(count, expected, message);
    }
  });
}

test('losing the reference output passes the microphone through, told once; its return resumes cancellation by itself', { skip: roomsOnly }, async () => {
  const c = room.conversation(fixtures);
  const farWav = path.join(fixtures, 'far-only.wav');
  room.writeWav(farWav, c.far.subarray(0, c.farOnly.end));
  const answerWav = path.join(fixtures, 'answer-only.wav');
  room.writeWav(answerWav, c.near.subarray(c.nearOnly.first - RATE / 10, c.nearOnly.end));
  const reference = `sink:${rig.outputSink}`;

  const capture = await layer.openCapture({ kind: 'microphone', echoCancel: { reference } });
  const plainCapture = await layer.openCapture({ kind: 'microphone', format: { sampleRate: capture.sampleRate } });
  const plain = recordCapture(plainCapture);
  const cancelled = recordCapture(capture);
  let gap;
  let back;
  let restored = false;
  try {
    assert.equal(await ownRecordStreams(), 3);
    await s.sleep(300);
    await room.withLoopback(rig, 40, -9, () => rig.play(farWav, rig.outputSink));
    await rig.pactl(['unload-module', await outputModule()]);
    await waitFor(() => cancelled.errors.length > 0, 3000, "the reference's loss");
    // Passed through: the user's voice reaches the cancelled capture as it
    // reaches the plain one.
    gap = performance.now();
    await rig.play(answerWav, rig.micFeedSink);
    const gapEnd = performance.now();
    const ch = capture.channels;
    gap = {
      plain: energy(plain.samples(), ch, plain.frameAt(gap), plain.frameAt(gapEnd)),
      cancelled: energy(cancelled.samples(), ch, cancelled.frameAt(gap), cancelled.frameAt(gapEnd)),
      frames: cancelled.framesSince(gap),
    };
    assert.equal(cancelled.resumed, 0, 'nothing resumes while the reference is gone');
    await s.sleep(700);
    await restoreOutput();
    restored = true;
    await waitFor(() => cancelled.resumed > 0, 3000, 'cancellation to resume');
    await s.sleep(300);
    await room.withLoopback(rig, 40, -9, async () => {
      const first = performance.now();
      await rig.play(farWav, rig.outputSink);
      back = { first, end: performance.now() };
    });
    // And the user's voice alone still comes through.
    const first = performance.now();
    await rig.play(answerWav, rig.micFeedSink);
    back.near = { first, end: performance.now() };
  } finally {
    if (!restored) await restoreOutput();
    await Promise.all([plainCapture.stop(), capture.stop()]);
  }
  assert.equal(await ownRecordStreams(), 0, 'stop released the microphone and reference streams');
  assert.deepEqual(cancelled.errors, ['echo cancellation paused: its reference output went away, so the ' +
    'microphone passes through uncancelled until it is back']);
  assert.equal(cancelled.resumed, 1);
  assert.equal(cancelled.gaps, 0, 'the microphone ran on without a gap');
  const passedDb = db(gap.cancelled / gap.plain);
  console.log(`# while the reference was gone: the near voice at ${passedDb.toFixed(2)} dB of the plain capture's`);
  assert.ok(gap.frames > 0 && Math.abs(passedDb) < 0.5, `passed through at ${passedDb.toFixed(2)} dB`);
  // Cancelling again once the new reference has converged.
  const skip = 2000;
  const erle = db(energy(plain.samples(), 2, plain.frameAt(back.first + skip), plain.frameAt(back.end)) /
    energy(cancelled.samples(), 2, cancelled.frameAt(back.first + skip), cancelled.frameAt(back.end)));
  const near = (log) => energy(log.samples(), 2, log.frameAt(back.near.first), log.frameAt(back.near.end));
  const nearDb = db(near(cancelled) / near(plain));
  const shownErle = Number.isFinite(erle) ? `${erle.toFixed(1)} dB` : 'unbounded (no echo left above 16-bit resolution)';
  console.log(`# after the reference came back: ERLE ${shownErle}, the near voice alone at ` +
    `${nearDb.toFixed(1)} dB of the plain capture's`);
  assert.ok(erle >= 20, `ERLE ${erle.toFixed(1)} dB`);
  assert.ok(Math.abs(nearDb) <= 3, `the near voice at ${nearDb.toFixed(1)} dB`);
});

test('a capture stopped while its reference is gone releases both streams and tries no more', { skip: roomsOnly }, async () => {
  const capture = await layer.openCapture({ kind: 'microphone', echoCancel: { reference: `sink:${rig.outputSink}` } });
  const log = recordCapture(capture);
  try {
    await s.sleep(200);
    await rig.pactl(['unload-module', await outputModule()]);
    await waitFor(() => log.errors.length > 0, 3000, "the reference's loss");
    await capture.stop();
    assert.equal(await ownRecordStreams(), 0);
  } finally {
    await restoreOutput();
  }
  await s.sleep(600);  // three of the reopening's intervals
  assert.equal(await ownRecordStreams(), 0, 'no reference was opened after the stop');
  assert.equal(log.resumed, 0);
});

test('start and stop cycles of an echo-cancelled capture leave no streams or memory behind', { skip: roomsOnly }, async (t) => {
  const cycle = async () => {
    const capture = await layer.openCapture({ kind: 'microphone', echoCancel: { reference: 'default' } });
    capture.on('data', () => {});
    await s.sleep(60);
    await capture.stop();
  };
  for (let i = 0; i < 5; i++) await cycle();
  assert.equal(await ownRecordStreams(), 0);
  // A sanitizer's allocator holds freed memory back; it checks for leaks itself.
  if (sanitized) {
    t.diagnostic('memory growth not measured under a sanitizer');
    return;
  }
  const before = process.memoryUsage().rss;
  for (let i = 0; i < 40; i++) await cycle();
  const grown = (process.memoryUsage().rss - before) / 1e6;
  console.log(`# 40 cycles: ${grown.toFixed(1)} MB`);
  assert.ok(grown < 10, `grew ${grown.toFixed(1)} MB over 40 cycles`);
  assert.equal(await ownRecordStreams(), 0);
});
