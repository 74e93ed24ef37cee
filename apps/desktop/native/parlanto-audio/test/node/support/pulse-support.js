'use strict';
// Shared by the tests that run the production module on a private PulseAudio
// server (80-89): the rig, speech and tone fixtures, and PCM measurements.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { startRig, toolEnv, writeStereoWav } = require(path.resolve(__dirname, '../../../../../../../tools/pulse-rig/rig.js'));

const GATE_THRESHOLD = 0.018;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts a rig and points this process's libpulse clients at it.
async function useRig(options) {
  const rig = await startRig(options);
  Object.assign(process.env, rig.env);
  return rig;
}

function loadAddon() {
  const file = process.env.PARLANTO_AUDIO_ADDON;
  if (!file) throw new Error('PARLANTO_AUDIO_ADDON is not set');
  return require(file);
}

// A scratch folder, removed when the process exits.
function fixtureDir(prefix = 'parlanto-pulse-fixtures-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  process.once('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// A phrase spoken by espeak-ng, as 48 kHz stereo 16-bit, the rig's sink format,
// so the server plays it through untouched.
function speechWav(dir, text, name = 'speech') {
  const raw = path.join(dir, `${name}-raw.wav`);
  const wav = path.join(dir, `${name}.wav`);
  execFileSync('espeak-ng', ['-w', raw, text], { env: toolEnv() });
  execFileSync('sox', [raw, '-r', '48000', '-c', '2', '-b', '16', wav], { env: toolEnv() });
  return wav;
}

function toneWav(dir, seconds, name = 'tone') {
  const wav = path.join(dir, `${name}.wav`);
  execFileSync('sox', ['-n', '-r', '48000', '-c', '2', '-b', '16', wav,
    'synth', String(seconds), 'sine', '440', 'vol', '0.5'], { env: toolEnv() });
  return wav;
}

// The samples of a 16-bit PCM WAV file.
function readWav(file) {
  const bytes = fs.readFileSync(file);
  let offset = 12;
  let format = null;
  while (offset + 8 <= bytes.length) {
    const id = bytes.toString('ascii', offset, offset + 4);
    const size = bytes.readUInt32LE(offset + 4);
    const body = offset + 8;
    if (id === 'fmt ') {
      format = { channels: bytes.readUInt16LE(body + 2), rate: bytes.readUInt32LE(body + 4),
        bits: bytes.readUInt16LE(body + 14) };
    } else if (id === 'data' && format) {
      if (format.bits !== 16) throw new Error(`${file}: ${format.bits}-bit samples`);
      const length = Math.min(size, bytes.length - body);
      return { ...format, samples: pcmSamples(bytes.subarray(body, body + length)) };
    }
    offset = body + size + (size & 1);
  }
  throw new Error(`${file}: no PCM data`);
}

function pcmSamples(buffer) {
  const copy = Buffer.from(buffer);
  return new Int16Array(copy.buffer, copy.byteOffset, copy.length >> 1);
}

// First and last frame (exclusive) with any sample louder than `threshold`
// counts, or null for silence.
function voicedSpan(samples, channels, threshold = 64) {
  let first = -1;
  let last = -1;
  for (let i = 0; i < samples.length; i++) {
    if (Math.abs(samples[i]) > threshold) {
      if (first < 0) first = i;
      last = i;
    }
  }
  if (first < 0) return null;
  return { first: Math.floor(first / channels), end: Math.floor(last / channels) + 1 };
}

// Root mean square in full-scale units over frames [from, to).
function rms(samples, channels, from = 0, to = samples.length / channels) {
  let sum = 0;
  for (let i = from * channels; i < to * channels; i++) sum += (samples[i] / 32768) ** 2;
  const n = (to - from) * channels;
  return n > 0 ? Math.sqrt(sum / n) : 0;
}

// A chunk counts as voice by the same measure as the speech-end detector.
function chunkVoiced(chunk) {
  const samples = pcmSamples(chunk);
  return rms(samples, 1) >= GATE_THRESHOLD;
}

// Runs a capture, recording every chunk and notification with the monotonic
// time at which JavaScript received it.
function record(capture, { speechEnded = true } = {}) {
  const log = { chunks: [], ended: [], errors: [] };
  const now = () => performance.now();
  capture.start(
    (error, chunk) => {
      if (error) log.errors.push(error);
      else log.chunks.push({ at: now(), chunk });
    },
    speechEnded
      ? (error) => {
          if (error) log.errors.push(error);
          else log.ended.push(now());
        }
      : undefined,
  );
  log.samples = () => pcmSamples(Buffer.concat(log.chunks.map((c) => c.chunk)));
  return log;
}

// For each notification, milliseconds since the last voiced chunk before it
// arrived. That chunk's arrival is read off the sample clock (the sink renders
// in real time, so the chunk ending at frame n arrives at t0 + n / rate, t0
// from the fastest chunk): the test measures the module, not how promptly
// this JavaScript thread happened to run that callback.
function silenceBeforeEachEnd(log, rate, channels) {
  const frameBytes = 2 * channels;
  let frames = 0;
  const ends = log.chunks.map(({ at, chunk }) => {
    frames += chunk.length / frameBytes;
    return { at, clock: (frames * 1000) / rate };
  });
  const settled = ends.filter((e) => e.at - ends[0].at >= 200);
  const t0 = Math.min(...settled.map((e) => e.at - e.clock));
  return log.ended.map((at) => {
    let last = -1;
    log.chunks.forEach((c, i) => {
      if (c.at <= at && chunkVoiced(c.chunk)) last = i;
    });
    return last < 0 ? Infinity : at - (t0 + ends[last].clock);
  });
}

// Lets a new record stream settle: an idle null sink has rendered ahead, and
// its audio reaches a new low-latency recorder only after that.
async function waitForChunks(log, count = 10, ms = 3000) {
  const deadline = performance.now() + ms;
  while (log.chunks.length < count && performance.now() < deadline) await sleep(10);
  if (log.chunks.length < count) throw new Error(`only ${log.chunks.length} chunks in ${ms} ms`);
}

// The shift of `later`, 0 to `most` samples, that best lines it up with
// `signal`: where their product is largest.
function bestLag(signal, later, most) {
  let best = -Infinity;
  let lag = 0;
  for (let l = 0; l <= most; l++) {
    let sum = 0;
    for (let i = 0; i < signal.length && l + i < later.length; i++) sum += signal[i] * later[l + i];
    if (sum > best) [best, lag] = [sum, l];
  }
  return lag;
}

// The names of the sources this process's record streams read (the rig's
// keepers and feeds are other processes').
async function ownRecordSources(rig) {
  const short = await rig.pactl(['list', 'short', 'sources']);
  const names = new Map(short.trim().split('\n').map((line) => line.split('\t').slice(0, 2)));
  const list = await rig.pactl(['list', 'source-outputs']);
  return list.split('Source Output #')
    .filter((block) => block.includes(`application.process.id = "${process.pid}"`))
    .map((block) => names.get(block.match(/^\s*Source: (\d+)$/m)[1]));
}

// Starts a private server before the calling file's tests and stops it after
// them; `ready` receives { rig, addon, fixtures } once the server answers.
function rigPerFile(ready) {
  const { before, after } = require('node:test');
  let rig;
  before(async () => {
    rig = await useRig();
    ready({ rig, addon: loadAddon(), fixtures: fixtureDir() });
  });
  after(async () => {
    if (rig) await rig.stop();
  });
}

module.exports = {
  GATE_THRESHOLD, sleep, useRig, rigPerFile, startRig, toolEnv, loadAddon, fixtureDir, speechWav, toneWav, writeStereoWav, readWav,
  pcmSamples, voicedSpan, rms, chunkVoiced, record, silenceBeforeEachEnd, waitForChunks, bestLag, ownRecordSources,
};
