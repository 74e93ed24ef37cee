'use strict';
// The echo-cancelling stage in this build of the module, on recorded signals:
// a far end played through a simulated room into the microphone, then a near
// voice alone, on each engine the build has. The same file runs under Wine
// against the Windows build, which has speexdsp's engine only
// (PARLANTO_AUDIO_ECHO_ENGINES says which the build has).
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestAddon } = require('../support/fake-support');

const { echoStage } = loadTestAddon();
const engines = (process.env.PARLANTO_AUDIO_ECHO_ENGINES || 'webrtc,speex').split(',');
const RATE = 16000;
const at = (seconds) => Math.round(seconds * RATE);

// A small seeded generator, so that every run hears the same signals.
function random(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s + 0x6d2b79f5) >>> 0;
    let t = Math.imul(s ^ (s >>> 15), 1 | s);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296 - 0.5;
  };
}

// Speech-like sound: voiced syllables (a wandering pitch with harmonics) and
// noise, under a four-per-second syllable envelope, between `from` and `to`.
function voice(track, from, to, { pitch, seed, level }) {
  const noise = random(seed);
  let phase = 0;
  for (let i = at(from); i < at(to); i += 1) {
    const t = i / RATE;
    const f0 = pitch * (1 + 0.15 * Math.sin(2 * Math.PI * 0.7 * t));
    phase += (2 * Math.PI * f0) / RATE;
    let voiced = 0;
    for (let h = 1; h <= 8; h += 1) voiced += Math.sin(h * phase) / h;
    const syllable = Math.max(0, Math.sin(2 * Math.PI * 4 * t)) ** 2;
    track[i] += level * syllable * (0.6 * voiced + 0.8 * noise());
  }
}

// The room: the speakers' sound 40 ms later at -9 dB, with two weaker
// reflections after it.
function room(far) {
  const echo = new Float32Array(far.length);
  const paths = [[0.040, 0.355], [0.055, 0.18], [0.075, 0.09]];
  for (const [delay, gain] of paths) {
    const d = at(delay);
    for (let i = d; i < far.length; i += 1) echo[i] += gain * far[i - d];
  }
  return echo;
}

function energy(x, from, to) {
  let sum = 0;
  for (let i = at(from); i < at(to); i += 1) sum += x[i] * x[i];
  return sum;
}
const db = (ratio) => 10 * Math.log10(ratio);

function conversation() {
  const far = new Float32Array(at(8));
  const near = new Float32Array(at(8));
  voice(far, 0.3, 5.5, { pitch: 120, seed: 1, level: 0.3 });
  voice(near, 6.2, 7.8, { pitch: 210, seed: 2, level: 0.2 });
  const echo = room(far);
  const mic = near.map((v, i) => v + echo[i]);
  return { far, near, mic };
}

for (const engine of engines) {
  test(`the stage removes the far end and keeps the near voice (${engine})`, (t) => {
    const { far, near, mic } = conversation();
    const { samples, cancelledFrames, passedFrames } = echoStage(far, mic, RATE, engine);
    assert.equal(samples.length, mic.length);
    // Every whole 10 ms frame but those before the reference's first buffer
    // went through the engine.
    assert.ok(cancelledFrames >= 790, `${cancelledFrames} cancelled, ${passedFrames} passed`);
    // Echo return loss enhancement after two seconds of far-end speech.
    const erle = db(energy(mic, 2.3, 5.5) / energy(samples, 2.3, 5.5));
    const nearKept = db(energy(samples, 6.2, 7.8) / energy(near, 6.2, 7.8));
    t.diagnostic(`ERLE ${erle.toFixed(1)} dB; near voice alone ${nearKept.toFixed(1)} dB`);
    assert.ok(erle >= 20, `ERLE ${erle.toFixed(1)} dB`);
    assert.ok(Math.abs(nearKept) <= 3, `near voice ${nearKept.toFixed(1)} dB`);
  });
}

test('an engine the build lacks is refused with its reason', { skip: engines.includes('webrtc') }, () => {
  const { far, mic } = conversation();
  assert.throws(() => echoStage(far, mic, RATE, 'webrtc'), /this build of the module has no WebRTC echo engine/);
});

test('the probe refuses signals of different lengths', () => {
  assert.throws(() => echoStage(new Float32Array(10), new Float32Array(20), RATE), /one length/);
});
