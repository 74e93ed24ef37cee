'use strict';
// The acoustic room of the echo-cancellation tests and benchmark, on a
// private PulseAudio server: the interviewer (one espeak-ng voice) plays into
// the output sink; the microphone's feed gets the user (another voice) and
// what the speakers would put back into the room: a server loopback from the
// output with its own latency and attenuation, plus a reverberation tail.

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const s = require('./pulse-support.js');

const RATE = 48000;

function speak(fixtures, voice, text, name) {
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
  s.writeStereoWav(file, RATE, data);
}

// The wet part of a room (no direct sound), delayed, attenuated.
function reverbTail(fixtures, far, name, predelayMs, gainDb) {
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
// Three interviewer questions alone, the user's answer alone, then the answer
// again over a fourth question; spans in frames from the start.
function conversation(fixtures) {
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
    const clip = speak(fixtures, 'en-us+m3', line, `far${i}`);
    place(far, t, clip);
    t += clip.length + 250 * ms;
  });
  farOnly.end = t;
  t += 1000 * ms;
  const answer = speak(fixtures, 'en-gb+f4', 'I rebuilt the billing service in six weeks', 'answer');
  const question = speak(fixtures, 'en-us+m3', 'could you walk me through the design', 'question');
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

// The rig's echo path, ms: where the far track best lines up with a capture
// of the microphone over each span of the conversation. `samples` are the
// capture's, interleaved, its frame `start` captured as the track began. A
// room's echo path is fixed for the tests' purpose, but the server's loopback
// can at times drop or add a stretch of its buffer, and the room then changes
// under the canceller in mid-run; the spans' paths show it.
function echoPaths(samples, channels, rate, start, far, spans, maxMs = 400) {
  // Both at 4 kHz, block averages: enough to place the path to a quarter ms.
  const LOW = 4000;
  const captureStep = rate / LOW;
  const farStep = RATE / LOW;
  const low = (at, step, read) => {
    let sum = 0;
    for (let i = 0; i < step; i++) sum += read(Math.round(at * step) + i);
    return sum / step;
  };
  return spans.map(({ first, end }) => {
    const length = Math.floor(Math.min(end - first, 2 * RATE) / farStep);
    const track = Float32Array.from({ length }, (_, i) => low(first / farStep + i, farStep, (j) => far[j] || 0));
    const from = Math.round(((start / rate) * LOW) + first / farStep);
    const heard = Float32Array.from({ length: length + (maxMs * LOW) / 1000 },
      (_, i) => low(from + i, captureStep, (j) => samples[j * channels] || 0));
    return (s.bestLag(track, heard, (maxMs * LOW) / 1000) * 1000) / LOW;
  });
}

// Runs `body` while the output sink plays back into the microphone's feed
// after `latencyMs`, `gainDb` quieter.
async function withLoopback(rig, latencyMs, gainDb, body) {
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

// The two tracks of a room: the far end for the output sink, and the
// microphone's feed (the near end plus the far end's reverberation).
function roomTracks(fixtures, c, latencyMs, gainDb) {
  const farWav = path.join(fixtures, 'far-track.wav');
  const nearWav = path.join(fixtures, `near-track-${latencyMs}.wav`);
  writeWav(farWav, c.far);
  const tail = reverbTail(fixtures, c.far, `room-${latencyMs}`, latencyMs + 20, gainDb - 6);
  writeWav(nearWav, c.near.map((v, i) => v + tail[i]));
  return { farWav, nearWav };
}

module.exports = { RATE, speak, writeWav, reverbTail, conversation, energy, db, echoPaths, withLoopback, roomTracks };
