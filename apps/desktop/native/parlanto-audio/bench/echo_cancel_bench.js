#!/usr/bin/env node
'use strict';
// CPU of an echo-cancelled microphone capture against a plain one, side by
// side in one run on a private PulseAudio server.
//
//   PARLANTO_AUDIO_ADDON=build/apps/desktop/native/parlanto-audio/parlanto_audio.node \
//   PARLANTO_AUDIO_ECHO_PROBE=build/apps/desktop/native/parlanto-audio/test/parlanto_audio_echo_probe.node \
//     node apps/desktop/native/parlanto-audio/bench/echo_cancel_bench.js [--seconds 20] [--rounds 3]
//
// Rounds alternate the kinds below while speech plays on the output sink and,
// from there, into the microphone:
// - openCapture of the microphone, plain and with echoCancel (the microphone
//   stream through the canceller, plus the internal reference stream), each
//   at the device's format and at 16 kHz mono, on each engine the build has
//   (PARLANTO_AUDIO_ECHO_ENGINES, default both);
// - with PARLANTO_AUDIO_ECHO_PROBE, the test-only probe's plain capture and
//   its capture through the stage alone (no layer), on each engine, which
//   also times the stage's own work on the audio thread.
// Reported: milliseconds of this process's CPU per second of capture (and of
// its audio threads alone), and each echo-cancelled kind's ratio to its plain
// counterpart.

const fs = require('node:fs');
const path = require('node:path');
const s = require('../test/node/support/pulse-support.js');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
};
const seconds = option('--seconds', 20);
const rounds = option('--rounds', 3);

// CPU of this process's audio threads (the backend's mainloops) by thread
// id, ms. Streams come and go with their threads, so a figure is the sum of
// each thread's own difference.
function audioThreadCpu() {
  const cpu = new Map();
  for (const tid of fs.readdirSync('/proc/self/task')) {
    try {
      const name = fs.readFileSync(`/proc/self/task/${tid}/comm`, 'utf8').trim();
      if (name === 'parlanto-pulse') {
        cpu.set(tid, Number(fs.readFileSync(`/proc/self/task/${tid}/schedstat`, 'utf8').split(' ')[0]) / 1e6);
      }
    } catch {}
  }
  return cpu;
}

function audioThreadCpuSince(before) {
  let total = 0;
  for (const [tid, ms] of audioThreadCpu()) total += ms - (before.get(tid) || 0);
  return total;
}

function ownCpu() {
  const use = process.cpuUsage();
  return (use.user + use.system) / 1000;
}

async function main() {
  if (process.env.PARLANTO_AUDIO_ADDON) process.env.PARLANTO_AUDIO_ADDON = path.resolve(process.env.PARLANTO_AUDIO_ADDON);
  s.loadAddon();
  const layer = require('../capture');
  const probe = process.env.PARLANTO_AUDIO_ECHO_PROBE
    ? require(path.resolve(process.env.PARLANTO_AUDIO_ECHO_PROBE)) : null;
  const rig = await s.useRig();
  const fixtures = s.fixtureDir();
  const wav = s.speechWav(fixtures, 'tell me about a time you disagreed with your manager and what you did next');
  const loopback = (await rig.pactl(['load-module', 'module-loopback', `source=${rig.outputSink}.monitor`,
    `sink=${rig.micFeedSink}`, 'latency_msec=40', 'adjust_time=0'])).trim();
  let playing = true;
  const player = (async () => {
    while (playing) await rig.play(wav, rig.outputSink);
  })();

  const opened = (options) => async () => {
    const capture = await layer.openCapture({ kind: 'microphone', ...options });
    let bytes = 0;
    capture.on('data', (chunk) => { bytes += chunk.length; });
    return async () => {
      await capture.stop();
      return { bytes };
    };
  };
  const probed = (cancel, engine) => async () => {
    const p = probe.start({ reference: 'default', cancel, plain: !cancel, ...(engine ? { engine } : {}) });
    return async () => p.stop();
  };
  const engines = (process.env.PARLANTO_AUDIO_ECHO_ENGINES || 'webrtc,speex').split(',');
  const mono16k = { sampleRate: 16000, channels: 1 };
  const kinds = [
    ['openCapture, device format', opened({})],
    ['openCapture, 16 kHz mono', opened({ format: mono16k })],
  ];
  for (const engine of engines) {
    const echo = { reference: 'default', engine };
    kinds.push(
      [`openCapture, device format, echoCancel ${engine}`, opened({ echoCancel: echo }), 'openCapture, device format'],
      [`openCapture, 16 kHz mono, echoCancel ${engine}`, opened({ format: mono16k, echoCancel: echo }),
        'openCapture, 16 kHz mono']);
  }
  if (probe) {
    kinds.push(['probe, plain', probed(false)]);
    for (const engine of engines) kinds.push([`probe, stage alone, ${engine}`, probed(true, engine), 'probe, plain']);
  }

  const results = new Map(kinds.map(([name]) => [name, []]));
  const measure = async (open) => {
    const close = await open();
    await s.sleep(1000);
    const own = ownCpu();
    const audio = audioThreadCpu();
    const started = performance.now();
    await s.sleep(seconds * 1000);
    const elapsed = (performance.now() - started) / 1000;
    const r = { own: (ownCpu() - own) / elapsed, audio: audioThreadCpuSince(audio) / elapsed };
    const closed = await close();
    // The probe's stage time covers the whole capture, a second more than measured.
    if (closed && closed.stageSeconds !== undefined) r.stage = (1000 * closed.stageSeconds) / (elapsed + 1);
    return r;
  };
  try {
    for (let round = 0; round < rounds; round++) {
      for (const [name, open] of kinds) results.get(name).push(await measure(open));
    }
  } finally {
    playing = false;
    await player;
    await rig.pactl(['unload-module', loopback]);
    await rig.stop();
  }

  const mean = (list, key) => list.reduce((sum, x) => sum + x[key], 0) / list.length;
  console.log(`${rounds} rounds of ${seconds} s per kind, microphone fed from the output sink (40 ms loopback)`);
  for (const [name, , plainName] of kinds) {
    const list = results.get(name);
    const own = mean(list, 'own');
    let line = `${name}: ${own.toFixed(2)} ms CPU per s (audio threads ${mean(list, 'audio').toFixed(2)})`;
    if (list[0].stage !== undefined) line += `, stage ${mean(list, 'stage').toFixed(2)} ms per s`;
    if (plainName) line += `, ratio to plain ${(own / mean(results.get(plainName), 'own')).toFixed(2)}`;
    console.log(line);
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
