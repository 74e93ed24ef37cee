'use strict';
// Echo cancellation on a private PulseAudio server. The interviewer (one
// espeak-ng voice) plays into the output sink; the microphone's feed gets the
// user (another voice) and what the speakers would put back into the room: a
// server loopback from the output with its own latency and attenuation, plus
// a reverberation tail. A microphone capture through the echo-cancelling
// stage, referenced on the output, runs beside a plain capture of the same
// microphone (the test-only echo probe on the real backend).

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const s = require('./pulse-support.js');

const RATE = 48000;
let rig;
let fixtures;
s.rigPerFile((ready) => ({ rig, fixtures } = ready));
const probe = () => require(process.env.PARLANTO_AUDIO_ECHO_PROBE);
// PARLANTO_ECHO_MODES='{"delayAgnostic":false}' measures the engine's other modes.
const modes = JSON.parse(process.env.PARLANTO_ECHO_MODES || '{}');

function speak(voice, text, name) {
  const wav = path.join(fixtures, `${name}.wav`);
  const raw = path.join(fixtures, `${name}.raw`);
  execFileSync('espeak-ng', ['-v', voice, '-w', wav, text], { env: s.toolEnv() });
  execFileSync('sox', [wav, '-t', 'raw', '-e', 'floating-point', '-b', '32', '-r', String(RATE), '-c', '1', raw],
    { env: s.toolEnv() });
  const bytes = fs.readFileSync(raw);
  return new Float32Array(bytes.buffer, bytes.byteOffset, bytes.length / 4).slice();
}

function writeWav(file, mono) {
  const data = Buffer.alloc(mono.length * 4);
  for (let i = 0; i < mono.length; i++) {
    const v = Math.max(-32767, Math.min(32767, Math.round(mono[i] * 32767)));
    data.writeInt16LE(v, 4 * i);
    data.writeInt16LE(v, 4 * i + 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(2, 22);
  header.writeUInt32LE(RATE, 24);
  header.writeUInt32LE(RATE * 4, 28);
  header.writeUInt16LE(4, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([header, data]));
}

// The wet part of a room (no direct sound), delayed, attenuated.
function reverbTail(far, name, predelayMs, gainDb) {
  const dry = path.join(fixtures, `${name}-dry.raw`);
  const wet = path.join(fixtures, `${name}-wet.raw`);
  fs.writeFileSync(dry, Buffer.from(far.buffer, far.byteOffset, far.byteLength));
  const raw = ['-t', 'raw', '-e', 'floating-point', '-b', '32', '-r', String(RATE), '-c', '1'];
  execFileSync('sox', [...raw, dry, ...raw, wet, 'reverb', '-w', '50', '50', '40', '0', String(predelayMs),
    'gain', String(gainDb), 'channels', '1'], { env: s.toolEnv() });
  const bytes = fs.readFileSync(wet);
  const out = new Float32Array(far.length);
  out.set(new Float32Array(bytes.buffer, bytes.byteOffset, Math.min(far.length, bytes.length / 4)));
  return out;
}

let made;
function conversation() {
  if (made) return made;
  const ms = RATE / 1000;
  const far = new Float32Array(20 * RATE);
  const near = new Float32Array(20 * RATE);
  const place = (track, at, clip, gain = 1) => {
    for (let i = 0; i < clip.length; i++) track[at + i] += gain * clip[i];
  };
  let t = 300 * ms;
  const farOnly = { first: t };
  ['tell me about a time you disagreed with your manager', 'what did you do when the deadline slipped',
    'and how did the rest of the team take the decision'].forEach((line, i) => {
    const clip = speak('en-us+m3', line, `far${i}`);
    place(far, t, clip);
    t += clip.length + 250 * ms;
  });
  farOnly.end = t;
  t += 1000 * ms;
  const answer = speak('en-gb+f4', 'I rebuilt the billing service in six weeks', 'answer');
  const question = speak('en-us+m3', 'could you walk me through the design', 'question');
  const nearOnly = { first: t, end: t + answer.length };
  place(near, t, answer, 0.7);
  t += answer.length + 1000 * ms;
  const doubleTalk = { first: t, end: t + answer.length };
  place(near, t, answer, 0.7);
  place(far, t + 200 * ms, question);
  t += Math.max(answer.length, question.length + 200 * ms) + 1000 * ms;
  made = { far: far.slice(0, t), near: near.slice(0, t), farOnly, nearOnly, doubleTalk, frames: t };
  return made;
}

function energy(samples, channels, first, end) {
  let sum = 0;
  for (let i = first * channels; i < end * channels && i < samples.length; i++) sum += samples[i] * samples[i];
  return sum;
}
const db = (ratio) => 10 * Math.log10(ratio);

async function withLoopback(latencyMs, gainDb, body) {
  const index = (await rig.pactl(['load-module', 'module-loopback', `source=${rig.outputSink}.monitor`,
    `sink=${rig.micFeedSink}`, `latency_msec=${latencyMs}`, 'adjust_time=0', 'source_dont_move=true', 'sink_dont_move=true'])).trim();
  try {
    let input;
    for (let tries = 0; !input && tries < 100; tries++) {
      const inputs = (await rig.pactl(['list', 'sink-inputs'])).split('Sink Input #');
      input = inputs.find((block) => new RegExp(`Owner Module: ${index}\\b`).test(block));
      if (!input) await s.sleep(20);
    }
    assert.ok(input, 'the loopback plays into the feed');
    await rig.pactl(['set-sink-input-volume', input.split(/\s/)[0], `${gainDb}dB`]);
    return await body();
  } finally {
    await rig.pactl(['unload-module', index]);
  }
}

// A loud room (6 dB of loss from speaker to microphone) costs the near voice
// up to about 3 dB in double talk on this server; a quieter one stays well
// within it.
for (const [latencyMs, gainDb, doubleTalkLimit] of [[40, -6, 4], [80, -12, 3]]) {
  test(`the interviewer is removed from the microphone (${latencyMs} ms, ${gainDb} dB room)`, async () => {
    const c = conversation();
    const farWav = path.join(fixtures, 'far-track.wav');
    const nearWav = path.join(fixtures, `near-track-${latencyMs}.wav`);
    writeWav(farWav, c.far);
    const tail = reverbTail(c.far, `room-${latencyMs}`, latencyMs + 20, gainDb - 6);
    writeWav(nearWav, c.near.map((v, i) => v + tail[i]));

    const ends = [];
    let started = 0;
    const result = await withLoopback(latencyMs, gainDb, async () => {
      const p = probe().start({ ...modes, reference: 'default', onSpeechEnded: () => ends.push(performance.now() - started) });
      let r;
      try {
        await s.sleep(500);
        p.mark();
        started = performance.now();
        await Promise.all([rig.play(farWav, rig.outputSink), rig.play(nearWav, rig.micFeedSink)]);
        await s.sleep(700);
      } finally {
        r = p.stop();
      }
      return r;
    });

    const [plainAt, cancelledAt] = result.marks[0];
    const ch = result.channels;
    const from = c.farOnly.first + 2 * RATE;
    const plainFar = energy(result.plain, ch, plainAt / ch + from, plainAt / ch + c.farOnly.end);
    const cancelledFar = energy(result.cancelled, ch, cancelledAt / ch + from, cancelledAt / ch + c.farOnly.end);
    const erle = db(plainFar / cancelledFar);
    const level = (span) => energy(result.cancelled, ch, cancelledAt / ch + span.first, cancelledAt / ch + span.end);
    const doubleTalkDb = db(level(c.doubleTalk) / level(c.nearOnly));
    const seconds = result.cancelled.length / ch / result.rate;
    console.log(`# room ${latencyMs} ms ${gainDb} dB: ERLE ${erle.toFixed(1)} dB, double talk ` +
      `${doubleTalkDb.toFixed(1)} dB, stage ${(1000 * result.stageSeconds / seconds).toFixed(2)} ms per s`);

    assert.deepEqual(result.events, []);
    assert.ok(plainFar > 0, 'the echo reached the plain microphone');
    assert.ok(erle >= 25, `ERLE ${erle.toFixed(1)} dB`);
    assert.ok(Math.abs(doubleTalkDb) <= doubleTalkLimit, `double talk changes the near voice by ${doubleTalkDb.toFixed(1)} dB`);
    const within = (first, end) => ends.filter((t) => t >= (first * 1000) / RATE && t < (end * 1000) / RATE).length;
    // After the same two seconds of convergence, the interviewer alone never
    // ends an utterance of the user's.
    assert.equal(within(from, c.nearOnly.first), 0, `speech ends at ${ends.map(Math.round)} ms`);
    assert.equal(within(c.nearOnly.first, c.doubleTalk.first), 1, `speech ends at ${ends.map(Math.round)} ms`);
    assert.equal(within(c.doubleTalk.first, c.frames + RATE), 1, `speech ends at ${ends.map(Math.round)} ms`);
  });
}

test('losing the output device passes the microphone through, told once; a new reference resumes', async () => {
  const c = conversation();
  const farWav = path.join(fixtures, 'far-track.wav');
  writeWav(farWav, c.far.subarray(0, c.farOnly.end));
  const outputModule = async () => (await rig.pactl(['list', 'short', 'modules']))
    .split('\n').find((line) => line.includes(`sink_name=${rig.outputSink} `)).split('\t')[0];

  const p = probe().start({ ...modes, reference: 'default' });
  let r;
  try {
    await s.sleep(300);
    await withLoopback(40, -9, () => rig.play(farWav, rig.outputSink));
    await rig.pactl(['unload-module', await outputModule()]);
    await s.sleep(700);
    await rig.pactl(['load-module', 'module-null-sink', `sink_name=${rig.outputSink}`, 'rate=48000', 'channels=2']);
    await rig.pactl(['set-default-sink', rig.outputSink]);
    p.reconnectReference();
    await s.sleep(300);
    await withLoopback(40, -9, async () => {
      p.mark();
      await rig.play(farWav, rig.outputSink);
      p.mark();
    });
  } finally {
    r = p.stop();
  }
  assert.deepEqual(r.events, ['lost', 'resumed']);
  assert.ok(r.passedFrames > 0, 'frames passed through while the reference was gone');
  // Cancelling again once the new reference has converged.
  const [[plainFirst, cancelledFirst], [plainEnd, cancelledEnd]] = r.marks;
  const skip = 2 * RATE * r.channels;
  const erle = db(energy(r.plain, 1, plainFirst + skip, plainEnd) /
    energy(r.cancelled, 1, cancelledFirst + skip, cancelledEnd));
  console.log(`# after the reference came back: ERLE ${erle.toFixed(1)} dB`);
  assert.ok(erle >= 25, `ERLE ${erle.toFixed(1)} dB`);
});

test('start and stop cycles leave no memory behind', async (t) => {
  // A sanitizer's allocator holds freed memory back; it checks for leaks itself.
  if (/asan|tsan/.test(process.env.LD_PRELOAD || '')) {
    t.skip('under a sanitizer');
    return;
  }
  const cycle = async () => {
    const p = probe().start({ ...modes, reference: 'default', plain: false });
    await s.sleep(60);
    p.stop();
  };
  for (let i = 0; i < 5; i++) await cycle();
  const before = process.memoryUsage().rss;
  for (let i = 0; i < 40; i++) await cycle();
  const grown = (process.memoryUsage().rss - before) / 1e6;
  console.log(`# 40 cycles: ${grown.toFixed(1)} MB`);
  assert.ok(grown < 10, `grew ${grown.toFixed(1)} MB over 40 cycles`);
});
