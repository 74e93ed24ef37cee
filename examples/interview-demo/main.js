#!/usr/bin/env node
'use strict';
// The main job, the way the desktop shell uses the two native programs: capture
// the system loopback and the microphone through the audio module's capture
// layer (16 kHz mono, as a speech recognizer takes it) while a short
// synthesised interview plays, optionally over a background noise, send each
// utterance to the sidecar when the turn detector says the speaker stopped,
// and leave the captured audio, a picture of it and a summary behind.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { performance } = require('node:perf_hooks');

const { createSidecar, formatFunctionCall, parseFunctionCall } = require('../../packages/sidecar');
const { encodeWav } = require('./wav.js');
const { waveformPng } = require('./png.js');
const { interview, prepareInterview } = require('./speech.js');
const { backgroundAt, RATE: kNoiseRate } = require('../../tools/turn-corpus/corpus.js');

const repoRoot = path.resolve(__dirname, '..', '..');
const kLeadIn = 0.6;   // seconds of silence before the first phrase
const kGap = 1.0;      // between phrases: well past the detector's 420 ms
const kTail = 1.5;     // after the last phrase, so its speech end is heard
const kClassifyTool = 'classify_interview_turn';
const kFormat = { sampleRate: 16000, channels: 1 };
// Backgrounds louder than the module's level rule (-35 dBFS) would hear as voice.
const kNoiseDb = { pink: -32, babble: -32, hum: -29 };
// The level rule's threshold, to tell where a phrase was heard in a run without noise.
const kLevelThreshold = 0.018;

const usage = `usage: interview-demo [options]
  --device ID        capture this device: an output device (its playback is
                     recorded), or an input device with --mic-only
  --seconds N        capture for N seconds (default: as long as the interview)
  --mic-only         capture only the microphone
  --loopback-only    capture only the system loopback
  --out DIR          write the WAV files, the picture and summary.json here
  --noise KIND       play a background under the interview: pink, babble or
                     hum (on every device the demo plays into)
  --rig              always start a private audio server, even if one runs
  --sidecar PATH     the sidecar program (default: build/sidecar/sidecar)`;

function parseArgs(argv) {
  const options = { device: undefined, seconds: undefined, mic: true, loopback: true, out: undefined, noise: undefined,
                    rig: false, sidecar: process.env.PARLANTO_SIDECAR || path.join(repoRoot, 'build/sidecar/sidecar') };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${arg} needs a value`);
      return argv[++i];
    };
    switch (arg) {
      case '--device': options.device = value(); break;
      case '--seconds': {
        options.seconds = Number(value());
        // Everything captured is kept in memory until the end (about 11 MB a minute a capture).
        if (!(options.seconds > 0 && options.seconds <= 600)) throw new Error('--seconds takes a number of seconds up to 600');
        break;
      }
      case '--mic-only': options.loopback = false; break;
      case '--loopback-only': options.mic = false; break;
      case '--out': options.out = path.resolve(value()); break;
      case '--rig': options.rig = true; break;
      case '--noise': {
        options.noise = value();
        if (!(options.noise in kNoiseDb)) throw new Error('--noise takes pink, babble or hum');
        break;
      }
      case '--sidecar': options.sidecar = path.resolve(value()); break;
      case '-h': case '--help': console.log(usage); process.exit(0); break;
      default: throw new Error(`unknown option ${arg}\n${usage}`);
    }
  }
  if (!options.mic && !options.loopback) throw new Error('--mic-only and --loopback-only exclude each other');
  return options;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const fmt = (seconds) => (seconds === null || seconds === undefined ? '   -  ' : `${seconds.toFixed(2)} s`);

function serverReachable(env) {
  return spawnSync('pactl', ['info'], { env, stdio: 'ignore', timeout: 5000 }).status === 0;
}

// The audio server: the running one, or the test rig's private one.
async function openAudioServer(options, log) {
  if (!options.rig && serverReachable(process.env)) {
    log('audio server: using the running one');
    return { rig: null, env: process.env, stop: async () => {} };
  }
  const { startRig } = require(path.join(repoRoot, 'tools/pulse-rig/rig.js'));
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-rig-'));
  log(options.rig ? 'audio server: starting a private one (--rig)'
                  : 'audio server: none reachable, starting a private one');
  const rig = await startRig({ dir });
  // libpulse inside this process reads the server address from the
  // environment when the module first connects, which happens after this.
  Object.assign(process.env, rig.env);
  return {
    rig, env: process.env,
    stop: async () => {
      await rig.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// One capture through the capture layer: what it delivered, its turns and
// when they were told.
class Capture {
  constructor(kind, deviceId) {
    this.kind = kind;
    this.deviceId = deviceId;
    this.capture = null;
    this.chunks = [];
    this.bytes = 0;
    this.frames = 0;
    this.firstFrame = null;  // the layer's frame of the first chunk
    this.arrivals = [];      // [wall seconds, frames delivered by then]
    this.speechEnded = [];   // { at: wall seconds, frame, startFrame, endFrame, reason }, frames from the first chunk
    this.errors = [];
    this.level = 0;          // loudest chunk RMS since the meter last looked
  }

  async start(layer, t0, onSpeechEnded) {
    this.capture = await layer.openCapture({ kind: this.kind === 'loopback' ? 'loopback' : 'microphone',
      deviceId: this.deviceId ?? null, format: kFormat });
    this.sampleRate = this.capture.sampleRate;
    this.channels = this.capture.channels;
    this.capture.on('data', (chunk, { frame }) => {
      const now = (performance.now() - t0) / 1000;
      if (this.firstFrame === null) this.firstFrame = frame;
      this.chunks.push(chunk);
      this.bytes += chunk.length;
      this.frames += chunk.length / (2 * this.channels);
      this.arrivals.push([now, this.frames]);
      let sum = 0;
      for (let i = 0; i + 1 < chunk.length; i += 2) {
        const v = chunk.readInt16LE(i) / 32768;
        sum += v * v;
      }
      this.level = Math.max(this.level, Math.sqrt(sum / (chunk.length / 2)));
    });
    this.capture.on('error', (error) => this.errors.push(error.message));
    this.capture.on('speech-ended', ({ frame, startFrame, endFrame, reason }) => {
      const base = this.firstFrame ?? 0;
      const event = { at: (performance.now() - t0) / 1000, frame: frame - base, startFrame: startFrame - base,
        endFrame: endFrame - base, reason };
      this.speechEnded.push(event);
      if (reason === 'silence' || reason === 'max-turn') onSpeechEnded(this, event);
    });
  }

  async stop() {
    if (this.capture) await this.capture.stop();
  }

  // The number of frames delivered by wall time `at`.
  frameAt(at) {
    let frames = 0;
    for (const [when, total] of this.arrivals) {
      if (when > at) break;
      frames = total;
    }
    return frames;
  }

  samples() {
    const pcm = Buffer.concat(this.chunks);
    return new Int16Array(pcm.buffer, pcm.byteOffset, pcm.length / 2);
  }

  // The end of the last 10 ms window at or above the level rule's threshold
  // in [from, to) frames, in frames, or null when nothing there was that loud.
  voicedEnd(samples, from, to) {
    const window = Math.max(1, Math.round(this.sampleRate / 100));
    let end = null;
    for (let start = from; start < to; start += window) {
      const stop = Math.min(to, start + window);
      let sum = 0;
      for (let i = start * this.channels; i < stop * this.channels; i++) sum += (samples[i] / 32768) ** 2;
      if (Math.sqrt(sum / ((stop - start) * this.channels)) >= kLevelThreshold) end = stop;
    }
    return end;
  }
}

// One line per capture with a bar of its level, redrawn in place on a
// terminal; a progress line a second otherwise.
class Meter {
  constructor(captures, seconds, tty) {
    this.captures = captures;
    this.seconds = seconds;
    this.tty = tty;
    this.shown = false;
    this.lastLine = -1;
  }

  static dbfs(level) {
    return level > 0 ? Math.max(-90, 20 * Math.log10(level)) : -90;
  }

  tick(now) {
    if (this.tty) {
      // One line that never wraps, or the carriage return would not reach its start.
      const columns = process.stdout.columns || 80;
      const width = Math.max(4, Math.min(30, Math.floor((columns - 16 - 21 * this.captures.length) / this.captures.length)));
      const parts = this.captures.map((c) => {
        const db = Meter.dbfs(c.level);
        const filled = Math.round(Math.max(0, Math.min(1, (db + 60) / 60)) * width);
        return `${c.kind.padEnd(8)} [${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ${db.toFixed(0).padStart(4)} dB`;
      });
      process.stdout.write(`\r\x1b[K${parts.join('   ')}   ${now.toFixed(1)}/${this.seconds.toFixed(1)} s`);
      this.shown = true;
    } else if (Math.floor(now) > this.lastLine) {
      this.lastLine = Math.floor(now);
      const parts = this.captures.map((c) => `${c.kind} ${c.chunks.length} chunks ${Meter.dbfs(c.level).toFixed(0)} dBFS`);
      console.log(`  ${now.toFixed(1).padStart(5)} s  ${parts.join(', ')}`);
    }
    for (const c of this.captures) c.level = 0;
  }

  // Prints above the meter line.
  print(text) {
    if (this.shown) process.stdout.write('\r\x1b[K');
    this.shown = false;
    console.log(text);
  }

  done() {
    if (this.shown) process.stdout.write('\n');
    this.shown = false;
  }
}

function playInto(sink, file, env) {
  return new Promise((resolve, reject) => {
    const args = sink ? [`--device=${sink}`, file] : [file];
    const player = spawn('paplay', args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    player.stderr.on('data', (d) => { stderr += d; });
    player.on('error', reject);
    player.on('close', (code) => (code === 0 ? resolve() : reject(new Error(`paplay ${args.join(' ')}: ${stderr.trim() || `status ${code}`}`))));
  });
}

function pickDevices(audio, options, server, log) {
  const inputs = audio.listInputDevices();
  const outputs = audio.listOutputDevices();
  log('input devices:');
  for (const d of inputs) log(`  ${d.id}  (${d.name})`);
  if (inputs.length === 0) log('  (none)');
  log('output devices:');
  for (const d of outputs) log(`  ${d.id}  (${d.name})`);
  if (outputs.length === 0) log('  (none)');

  const byId = (list, id) => list.find((d) => d.id === id);
  const sinkOf = (id) => (id && id.startsWith('sink:') ? id.slice('sink:'.length) : undefined);
  const picked = { loopback: undefined, mic: undefined, loopbackSink: undefined, micSink: undefined };
  if (server.rig) {
    picked.loopback = `sink:${server.rig.outputSink}`;
    picked.mic = `source:${server.rig.micSource}`;
    picked.loopbackSink = server.rig.outputSink;
    picked.micSink = server.rig.micFeedSink;
    for (const [list, id] of [[outputs, picked.loopback], [inputs, picked.mic]]) {
      if (!byId(list, id)) throw new Error(`the rig's device ${id} is not listed`);
    }
  }
  if (options.device !== undefined) {
    const list = options.loopback ? outputs : inputs;
    if (!byId(list, options.device)) {
      throw new Error(`--device ${options.device} is not a listed ${options.loopback ? 'output' : 'input'} device`);
    }
    if (options.loopback) {
      picked.loopback = options.device;
      picked.loopbackSink = sinkOf(options.device);
    } else {
      picked.mic = options.device;
    }
  }
  return picked;
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  const log = (text) => console.log(text);
  // A signal ends the run early, but always through the clean-up below, so
  // no private audio server or sidecar outlives the demo.
  let interrupted = false;
  let interrupt;
  const stopRequested = new Promise((resolve) => { interrupt = resolve; });
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(signal, () => {
      interrupted = true;
      interrupt();
    });
  }
  const checkInterrupted = () => {
    if (interrupted) throw new Error('interrupted');
  };
  if (!fs.existsSync(options.sidecar)) {
    throw new Error(`sidecar program not found at ${options.sidecar}: build it first (scripts/run.sh does)`);
  }
  const out = options.out || path.join(repoRoot, 'build', 'interview-demo');
  fs.mkdirSync(out, { recursive: true });

  const server = await openAudioServer(options, log);
  const cleanup = [];
  let meter = null;
  try {
    checkInterrupted();
    const audio = require('../../apps/desktop/native/parlanto-audio');
    const layer = require('../../apps/desktop/native/parlanto-audio/capture');
    const picked = pickDevices(audio, options, server, log);

    // The interview: the phrases this run can play, in order.
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-interview-'));
    cleanup.push(() => fs.rmSync(scratch, { recursive: true, force: true }));
    const wanted = interview.filter((p) => (p.target === 'mic' ? options.mic && picked.micSink : options.loopback));
    const phrases = prepareInterview(scratch, wanted);
    // Without phrases to play (a microphone on a real server) a person talks.
    const natural = phrases.length === 0 ? 15
      : kLeadIn + phrases.reduce((sum, p) => sum + p.duration + kGap, 0) + kTail;
    const seconds = options.seconds ?? natural;

    // The sidecar, as the shell runs it.
    const sidecar = createSidecar({ command: options.sidecar, timeoutMs: 5000 });
    sidecar.on('restart', (why) => meter && meter.print(`  sidecar exited (${why}); started it again`));
    cleanup.push(() => sidecar.close());
    const status = await sidecar.status();
    log(`sidecar: ${options.sidecar} (mode ${status.output})`);
    checkInterrupted();

    const captures = [];
    if (options.loopback) captures.push(new Capture('loopback', picked.loopback));
    if (options.mic) captures.push(new Capture('mic', picked.mic));
    const t0 = performance.now();
    const now = () => (performance.now() - t0) / 1000;
    const calls = [];
    let turn = 0;
    meter = new Meter(captures, seconds, Boolean(process.stdout.isTTY));

    const onSpeechEnded = (capture, event) => {
      // The utterance that just ended: the latest phrase played into this
      // capture that has not been answered yet.
      const phrase = phrases.filter((p) => p.target === capture.kind && p.start !== undefined && p.start <= event.at).pop();
      const at = fmt(event.frame / capture.sampleRate);
      if (!phrase || phrase.answered) {
        meter.print(`[${at}] ${capture.kind}: speech ended (no known phrase)`);
        return;
      }
      phrase.answered = true;
      turn += 1;
      const tool = turn % 2 === 0 ? kClassifyTool : undefined;
      meter.print(`[${at}] ${capture.kind}: speech ended after "${phrase.text}"`);
      const call = { turn, phrase: phrase.index, tool: tool || null, sentAt: event.at };
      calls.push(call);
      call.done = sidecar.toolCall(phrase.text, { tool }).then((response) => {
        call.response = response;
        call.answeredAt = now();
        const what = response.ok ? formatFunctionCall(response.output, '    ') : `    error: ${response.error}`;
        meter.print(`  turn ${turn}${tool ? ` (asked for ${tool})` : ''}, answered in ${response.inferenceMs ?? 0} ms:\n${what}`);
      }, (error) => {
        call.error = `${error.code}: ${error.message}`;
        meter.print(`  turn ${turn}: sidecar failed: ${call.error}`);
      });
    };

    // The background plays from before the captures open, as a room's would.
    if (options.noise) {
      const noiseFile = path.join(scratch, `${options.noise}.wav`);
      const noise = backgroundAt(options.noise, seconds + 2, kNoiseDb[options.noise]);
      const pcm = Int16Array.from(noise, (v) => Math.round(v * 32767));
      fs.writeFileSync(noiseFile, encodeWav([Buffer.from(pcm.buffer)], kNoiseRate, 1));
      const sinks = [...new Set(captures.map((c) => (c.kind === 'mic' ? picked.micSink : picked.loopbackSink))
        .filter((sink) => sink !== undefined || !server.rig))];
      for (const sink of sinks) {
        const player = spawn('paplay', sink ? [`--device=${sink}`, noiseFile] : [noiseFile],
          { env: server.env, stdio: 'ignore' });
        player.on('error', () => {});
        cleanup.push(() => player.kill());
      }
      log(`background: ${options.noise} at ${kNoiseDb[options.noise]} dBFS RMS`);
      await sleep(500);
    }
    for (const capture of captures) {
      try {
        await capture.start(layer, t0, onSpeechEnded);
      } catch (error) {
        const other = capture.kind === 'mic' ? '--loopback-only' : '--mic-only';
        throw new Error(`capturing ${capture.kind} failed: ${error.message} (${error.code}); ` +
                        `${captures.length > 1 ? `${other} leaves it out` : 'try another --device'}`);
      }
      cleanup.push(() => capture.stop());
      log(`capturing ${capture.kind} from ${capture.deviceId ?? 'the default device'}: ` +
          `${capture.sampleRate} Hz, ${capture.channels} channel${capture.channels === 1 ? '' : 's'}`);
    }
    if (options.mic && !picked.micSink) log('(speak into the microphone: the demo cannot feed it on this server)');
    let planned = 0;
    for (let at = kLeadIn; planned < phrases.length && at + phrases[planned].duration + kTail <= seconds; planned++) {
      at += phrases[planned].duration + kGap;
    }
    log(`playing ${planned} of ${phrases.length} phrases over ${seconds.toFixed(1)} s; writing to ${out}`);

    const meterTimer = setInterval(() => meter.tick(now()), 100);
    cleanup.push(() => clearInterval(meterTimer));

    const player = (async () => {
      await sleep(kLeadIn * 1000);
      for (const phrase of phrases) {
        if (interrupted || now() + phrase.duration + kTail > seconds) break;
        phrase.start = now();
        const sink = phrase.target === 'mic' ? picked.micSink : picked.loopbackSink;
        await playInto(sink, phrase.file, server.env);
        // paplay returns once the server has played the whole file; the voice
        // stopped the file's trailing silence earlier.
        phrase.playedEnd = now() - (phrase.duration - phrase.voicedEnd);
        await sleep(kGap * 1000);
      }
    })();
    await Promise.race([Promise.all([player, sleep(seconds * 1000)]), stopRequested]);
    await player;

    // stop() resolves once the audio captured before it has been delivered.
    await Promise.all(captures.map((capture) => capture.stop()));
    clearInterval(meterTimer);
    meter.tick(now());
    meter.done();
    await Promise.all(calls.map((c) => c.done));

    return finish({ options, out, seconds, server, captures, phrases, calls });
  } finally {
    if (meter) meter.done();
    for (const step of cleanup.reverse()) {
      try {
        await step();
      } catch {}
    }
    await server.stop();
  }
}

function finish({ options, out, seconds, server, captures, phrases, calls }) {
  const played = phrases.filter((p) => p.start !== undefined);
  const lanes = [];
  const summary = {
    outDir: out,
    server: server.rig ? 'rig' : 'running',
    seconds,
    noise: options.noise ?? null,
    captures: [],
    phrases: [],
    toolCalls: { sent: calls.length, answered: 0, failed: 0, calls: [] },
    png: path.join(out, 'waveform.png'),
    checks: {},
  };

  for (const capture of captures) {
    const wavFile = path.join(out, `${capture.kind}.wav`);
    fs.writeFileSync(wavFile, encodeWav(capture.chunks, capture.sampleRate, capture.channels));
    const samples = capture.samples();
    const mine = played.filter((p) => p.target === capture.kind);
    const toSeconds = (frame) => frame / capture.sampleRate;
    for (const [i, phrase] of mine.entries()) {
      const from = capture.frameAt(phrase.start);
      const next = mine[i + 1];
      const to = next ? capture.frameAt(next.start) : capture.frames;
      // Under a background the level rule cannot tell where the voice stopped;
      // the player can, within its scheduling.
      const heard = options.noise ? capture.frameAt(phrase.playedEnd) : capture.voicedEnd(samples, from, to);
      const ended = capture.speechEnded.filter((e) => e.frame >= from && e.frame < to && e.reason !== 'stopped');
      summary.phrases.push({
        index: phrase.index,
        text: phrase.text,
        capture: capture.kind,
        startedAt: toSeconds(from),
        heardEnd: heard === null ? null : toSeconds(heard),
        playedEnd: toSeconds(capture.frameAt(phrase.playedEnd)),
        speechEnded: ended.map((e) => toSeconds(e.frame)),
      });
    }
    const matched = new Set(summary.phrases.filter((p) => p.capture === capture.kind).flatMap((p) => p.speechEnded));
    summary.captures.push({
      kind: capture.kind,
      deviceId: capture.deviceId ?? null,
      sampleRate: capture.sampleRate,
      channels: capture.channels,
      chunks: capture.chunks.length,
      bytes: capture.bytes,
      frames: capture.frames,
      seconds: toSeconds(capture.frames),
      wav: wavFile,
      speechEnded: capture.speechEnded.map((e) => toSeconds(e.frame)),
      turns: capture.speechEnded.map((e) => ({ start: toSeconds(e.startFrame), end: toSeconds(e.endFrame),
        ended: toSeconds(e.frame), reason: e.reason })),
      unmatchedSpeechEnded: capture.speechEnded.filter((e) => e.reason !== 'stopped').map((e) => toSeconds(e.frame))
        .filter((t) => !matched.has(t)),
      errors: capture.errors,
    });
    lanes.push({
      name: capture.kind, deviceId: capture.deviceId,
      samples, channels: capture.channels, sampleRate: capture.sampleRate,
      speechEnded: capture.speechEnded.filter((e) => e.reason !== 'stopped').map((e) => toSeconds(e.frame)),
      turns: capture.speechEnded.map((e) => ({ start: toSeconds(e.startFrame), end: toSeconds(e.endFrame) })),
      phraseEnds: summary.phrases.filter((p) => p.capture === capture.kind && p.heardEnd !== null).map((p) => p.heardEnd),
    });
  }
  // The axis ends where the longest capture does, so the waveform spans the picture.
  const longest = Math.max(1, ...summary.captures.map((c) => c.seconds));
  fs.writeFileSync(summary.png, waveformPng(lanes, { seconds: longest }));

  for (const call of calls) {
    const ok = Boolean(call.response && call.response.ok);
    if (ok) summary.toolCalls.answered += 1;
    else summary.toolCalls.failed += 1;
    const parsed = ok ? parseFunctionCall(call.response.output) : null;
    summary.toolCalls.calls.push({
      turn: call.turn, phrase: call.phrase, askedFor: call.tool,
      ok, function: parsed ? parsed.name : null, intentType: parsed?.args.intent_type ?? null, error: call.error ?? (call.response && call.response.error) ?? null,
    });
  }
  summary.phrases.sort((a, b) => a.index - b.index);
  summary.checks = {
    everyPhraseOneSpeechEnded: summary.phrases.every((p) => p.speechEnded.length === 1),
    everyToolCallAnswered: summary.toolCalls.failed === 0 && summary.toolCalls.sent === summary.phrases.length,
  };
  fs.writeFileSync(path.join(out, 'summary.json'), JSON.stringify(summary, null, 2) + '\n');

  console.log('\nsummary');
  for (const c of summary.captures) {
    console.log(`  ${c.kind}: ${c.chunks} chunks, ${c.bytes} bytes, ${c.sampleRate} Hz, ${c.channels} channel${c.channels === 1 ? '' : 's'}, ` +
                `${c.seconds.toFixed(2)} s -> ${c.wav}`);
    for (const e of c.errors) console.log(`    delivery error: ${e}`);
    if (c.unmatchedSpeechEnded.length) console.log(`    speech ended outside the phrases at ${c.unmatchedSpeechEnded.map(fmt).join(', ')}`);
  }
  console.log('  phrase ends (heard in the capture) against speech-ended notifications:');
  for (const p of summary.phrases) {
    const ended = p.speechEnded.length === 0 ? 'no notification'
      : p.speechEnded.map((t) => `${fmt(t)}${p.heardEnd === null ? '' : ` (+${Math.round((t - p.heardEnd) * 1000)} ms)`}`).join(', ');
    console.log(`    ${p.capture.padEnd(8)} ${fmt(p.heardEnd)} -> ${ended}   "${p.text}"`);
  }
  const skipped = phrases.length - played.length;
  if (skipped > 0) console.log(`  ${skipped} phrase${skipped === 1 ? '' : 's'} did not fit into ${seconds} s`);
  console.log(`  tool calls: ${summary.toolCalls.sent} sent, ${summary.toolCalls.answered} answered, ${summary.toolCalls.failed} failed`);
  console.log(`  picture: ${summary.png}`);
  for (const [name, ok] of Object.entries(summary.checks)) console.log(`  ${ok ? 'ok      ' : 'MISMATCH'} ${name}`);
  console.log(`output folder: ${out}`);
  return summary;
}

// A closed standard output (a pager that quit) must not skip the clean-up.
process.stdout.on('error', () => {});

main().then(() => process.exit(0), (error) => {
  console.error(`interview-demo: ${error.message}`);
  process.exit(1);
});
