'use strict';
// The turn corpus: interview questions spoken by synthetic voices (speech/,
// made by generate.sh), mixed in code, deterministically, into the
// conditions a turn detector must handle, with where each turn really starts
// and ends; and the score of a detector's speech-ended events against them.
//
//   const { buildCondition, score, CONDITIONS } = require('tools/turn-corpus/corpus.js');
//   const condition = buildCondition('pink10');   // { pcm: Float32Array, sampleRate, turns, ... }
//   score(events, condition)                      // { f1, hits, misses, extra, delays, ... }

const fs = require('node:fs');
const path = require('node:path');

const RATE = 16000;
const SPEECH_DIR = path.join(__dirname, 'speech');

// Ten turns; three with a breath between two sentences.
const TURNS = [['q01'], ['q02'], ['q03a', 'q03b'], ['q04'], ['q05'], ['q06a', 'q06b'], ['q07'], ['q08'],
  ['q09a', 'q09b'], ['q10']];
const BABBLE = ['b1', 'b2', 'b3'];

// level: the speech's RMS over its audible 10 ms windows, dBFS.
// background: what fills the gaps and lies under the speech.
const CONDITIONS = {
  clean: { level: -16, background: 'silence', label: 'speech at -16 dBFS RMS, digital silence between turns' },
  quiet: { level: -40, background: 'silence', label: 'the same at -40 dBFS' },
  pink20: { level: -16, background: 'pink', backgroundDb: -36, label: 'pink noise 20 dB below the speech' },
  pink10: { level: -16, background: 'pink', backgroundDb: -26, label: 'pink noise 10 dB below' },
  babble15: { level: -16, background: 'babble', backgroundDb: -31, label: 'three other talkers (babble) 15 dB below' },
  hum: { level: -16, background: 'hum', backgroundDb: -29, label: '50 Hz mains hum at -29 dBFS' },
};

// A window counts as audible when its RMS is within this of the turn's loudest window.
const AUDIBLE_DB = -40;
const WINDOW = RATE / 100;

function readWav(file) {
  const data = fs.readFileSync(file);
  let at = 12;
  let format = null;
  while (at + 8 <= data.length) {
    const id = data.toString('ascii', at, at + 4);
    const size = data.readUInt32LE(at + 4);
    if (id === 'fmt ') {
      format = { channels: data.readUInt16LE(at + 10), rate: data.readUInt32LE(at + 12), bits: data.readUInt16LE(at + 22) };
    } else if (id === 'data') {
      if (!format || format.bits !== 16 || format.channels !== 1 || format.rate !== RATE) {
        throw new Error(`${file}: expected 16-bit mono at ${RATE} Hz`);
      }
      const samples = new Float32Array(Math.floor(size / 2));
      for (let i = 0; i < samples.length; i++) samples[i] = data.readInt16LE(at + 8 + 2 * i) / 32768;
      return samples;
    }
    at += 8 + size + (size % 2);
  }
  throw new Error(`${file}: no data`);
}

const speechCache = new Map();
function speech(name) {
  if (!speechCache.has(name)) speechCache.set(name, readWav(path.join(SPEECH_DIR, `${name}.wav`)));
  return speechCache.get(name);
}

// mulberry32: small, fast and the same everywhere.
function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const dbToGain = (db) => 10 ** (db / 20);

function windowRms(samples, from, to) {
  let sum = 0;
  for (let i = from; i < to; i++) sum += samples[i] * samples[i];
  return Math.sqrt(sum / Math.max(1, to - from));
}

// The first and last audible sample of a clip and its RMS over audible windows.
function audible(samples) {
  const levels = [];
  for (let w = 0; w + WINDOW <= samples.length; w += WINDOW) levels.push(windowRms(samples, w, w + WINDOW));
  const peak = Math.max(...levels);
  const floor = peak * dbToGain(AUDIBLE_DB);
  let first = -1;
  let last = -1;
  let sum = 0;
  let count = 0;
  levels.forEach((level, i) => {
    if (level < floor) return;
    if (first < 0) first = i;
    last = i;
    sum += level * level;
    count++;
  });
  return { from: first * WINDOW, to: (last + 1) * WINDOW, rms: Math.sqrt(sum / count) };
}

// A turn's clean speech at unit scale: its sentences trimmed to their audible
// span, joined by breaths of 200 to 300 ms.
function turnSpeech(names, rng) {
  const parts = names.map((name) => {
    const clip = speech(name);
    const span = audible(clip);
    return clip.subarray(span.from, span.to);
  });
  const breaths = parts.slice(1).map(() => Math.round((0.2 + 0.1 * rng()) * RATE));
  const length = parts.reduce((sum, p) => sum + p.length, 0) + breaths.reduce((sum, b) => sum + b, 0);
  const out = new Float32Array(length);
  const gaps = [];
  let at = 0;
  parts.forEach((part, i) => {
    out.set(part, at);
    at += part.length;
    if (i < breaths.length) {
      gaps.push([at, at + breaths[i]]);
      at += breaths[i];
    }
  });
  return { samples: out, breaths: gaps };
}

function pink(length, rng) {
  const out = new Float32Array(length);
  let b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
  for (let i = 0; i < length; i++) {
    const white = rng() * 2 - 1;
    b0 = 0.99886 * b0 + white * 0.0555179;
    b1 = 0.99332 * b1 + white * 0.0750759;
    b2 = 0.969 * b2 + white * 0.153852;
    b3 = 0.8665 * b3 + white * 0.3104856;
    b4 = 0.55 * b4 + white * 0.5329522;
    b5 = -0.7616 * b5 - white * 0.016898;
    out[i] = b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362;
    b6 = white * 0.115926;
  }
  return out;
}

// Three other talkers, each repeating its sentence with pauses, from
// different offsets.
function babble(length, rng) {
  const out = new Float32Array(length);
  BABBLE.forEach((name) => {
    const clip = speech(name);
    const span = audible(clip);
    const voice = clip.subarray(span.from, span.to);
    const gain = 1 / span.rms;
    let at = -Math.floor(rng() * voice.length);
    while (at < length) {
      for (let i = Math.max(0, -at); i < voice.length && at + i < length; i++) out[at + i] += voice[i] * gain;
      at += voice.length + Math.round((0.15 + 0.35 * rng()) * RATE);
    }
  });
  return out;
}

function hum(length) {
  const out = new Float32Array(length);
  for (let i = 0; i < length; i++) {
    const t = i / RATE;
    out[i] = Math.sin(2 * Math.PI * 50 * t) + 0.3 * Math.sin(2 * Math.PI * 100 * t + 0.7) +
      0.5 * Math.sin(2 * Math.PI * 150 * t + 1.9);
  }
  return out;
}

function background(kind, length, rng) {
  if (kind === 'pink') return pink(length, rng);
  if (kind === 'babble') return babble(length, rng);
  if (kind === 'hum') return hum(length);
  return null;
}

// One condition: 10 turns, each after 1.6 to 2.6 s of the background alone,
// and 2 s of it after the last. `turns[i]`: { start, end, breaths } in
// samples, `end` the sample after the turn's last audible one.
function buildCondition(name, { seed = 1 } = {}) {
  const condition = CONDITIONS[name];
  if (!condition) throw new Error(`unknown condition ${name}; one of ${Object.keys(CONDITIONS).join(', ')}`);
  const rng = random(seed * 7919 + Object.keys(CONDITIONS).indexOf(name));
  const pieces = TURNS.map((names) => turnSpeech(names, rng));
  const gaps = pieces.map(() => Math.round((1.6 + rng()) * RATE));
  const length = pieces.reduce((sum, p, i) => sum + gaps[i] + p.samples.length, 0) + 2 * RATE;
  const speechTrack = new Float32Array(length);
  const turns = [];
  let at = 0;
  pieces.forEach((piece, i) => {
    at += gaps[i];
    const gain = dbToGain(condition.level) / audible(piece.samples).rms;
    for (let j = 0; j < piece.samples.length; j++) speechTrack[at + j] = piece.samples[j] * gain;
    turns.push({ start: at, end: at + piece.samples.length, breaths: piece.breaths.map(([a, b]) => [at + a, at + b]) });
    at += piece.samples.length;
  });
  const pcm = Float32Array.from(speechTrack);
  const noise = background(condition.background, length, rng);
  if (noise) {
    const gain = dbToGain(condition.backgroundDb) / windowRms(noise, 0, noise.length);
    for (let i = 0; i < length; i++) pcm[i] += noise[i] * gain;
  }
  for (let i = 0; i < length; i++) pcm[i] = Math.max(-1, Math.min(1, pcm[i]));
  return { name, label: condition.label, sampleRate: RATE, pcm, speech: speechTrack, turns };
}

function toInt16(pcm) {
  const out = new Int16Array(pcm.length);
  for (let i = 0; i < pcm.length; i++) out[i] = Math.max(-32768, Math.min(32767, Math.round(pcm[i] * 32768)));
  return out;
}

// A turn is ended when one speech-ended falls 0.15 to 1 s after its last
// audible sample; every other speech-ended is an extra end. `events` are
// detectSpeech's (or a capture's, with `offset` the frame of the corpus's
// first sample), on `rate` frames a second.
function score(events, condition, { offset = 0, rate = condition.sampleRate } = {}) {
  const toCorpus = (frame) => ((frame - offset) * condition.sampleRate) / rate;
  const ends = events.filter((e) => e.type === 'speech-ended').map((e) => ({ ...e, at: toCorpus(e.frame) }));
  const used = new Set();
  const delays = [];
  let hits = 0;
  for (const turn of condition.turns) {
    const match = ends.find((e) => !used.has(e) && e.at >= turn.end + 0.15 * RATE && e.at <= turn.end + RATE);
    if (!match) continue;
    used.add(match);
    hits++;
    delays.push(((match.at - turn.end) * 1000) / RATE);
  }
  const extra = ends.length - used.size;
  const misses = condition.turns.length - hits;
  const insideTurns = ends.filter((e) => condition.turns.some((t) => e.at > t.start && e.at < t.end)).length;
  const atBreaths = ends.filter((e) => condition.turns.some((t) => t.breaths.some(([a, b]) => {
    const last = toCorpus(e.endFrame ?? e.frame);
    return last >= a - 0.05 * RATE && last <= b;
  }))).length;
  const f1 = (2 * hits) / (2 * hits + misses + extra);
  return { f1, hits, misses, extra, insideTurns, atBreaths, delays };
}

function median(values) {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// `seconds` of a background alone ('pink', 'babble' or 'hum') at `db` dBFS
// RMS, at the corpus's rate.
function backgroundAt(kind, seconds, db, { seed = 1 } = {}) {
  const noise = background(kind, Math.round(seconds * RATE), random(seed));
  if (!noise) throw new Error(`unknown background ${kind}; one of pink, babble, hum`);
  const gain = dbToGain(db) / windowRms(noise, 0, noise.length);
  for (let i = 0; i < noise.length; i++) noise[i] = Math.max(-1, Math.min(1, noise[i] * gain));
  return noise;
}

module.exports = { CONDITIONS, RATE, buildCondition, backgroundAt, score, median, toInt16, readWav };
