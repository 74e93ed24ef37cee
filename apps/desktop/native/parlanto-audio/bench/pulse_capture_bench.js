#!/usr/bin/env node
'use strict';
// Capture cost and delivery timing of the production module on a private
// PulseAudio server, side by side with parec in the same run.
//
//   PARLANTO_AUDIO_ADDON=build/apps/desktop/native/parlanto-audio/parlanto_audio.node \
//     node apps/desktop/native/parlanto-audio/bench/pulse_capture_bench.js [--seconds 60]
//
// Two phases of the given length: a 48 kHz stereo loopback of the output sink
// without and then with the speech-ended callback. In both, parec records the
// same monitor to /dev/null at the same time, and a phrase is played on the
// output sink every few seconds. Reported per phase:
// - CPU: milliseconds of CPU per second of capture, this process (which runs
//   nothing else) against parec;
// - delivery latency: when a chunk reached JavaScript, against when the server
//   produced its last frame (the sink runs on the monotonic clock, so frame n
//   is produced at t0 + n / rate); t0 is taken from the fastest chunk, so the
//   figures are the delay above the fastest delivery seen;
// - speech ended: milliseconds from the arrival of the last voiced chunk to
//   the arrival of the notification, both as JavaScript saw them (420 ms of
//   silence plus up to one buffer is the design; the rest is delivery jitter).

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const s = require('../test/node/support/pulse-support.js');

const args = process.argv.slice(2);
const seconds = Number(args[args.indexOf('--seconds') + 1]) || 60;
const WARM_UP_MS = 2000;
const CLOCK_TICKS = 100;  // USER_HZ on Linux

function cpuOfPid(pid) {
  return cpuOfStat(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
}

// CPU of this process's audio thread (the backend's mainloop), ms.
function cpuOfAudioThread() {
  let total = 0;
  for (const tid of fs.readdirSync('/proc/self/task')) {
    try {
      const stat = fs.readFileSync(`/proc/self/task/${tid}/stat`, 'utf8');
      if (stat.includes('(parlanto-pulse)')) total += cpuOfStat(stat);
    } catch {}
  }
  return total;
}

function cpuOfStat(stat) {
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / CLOCK_TICKS;  // utime + stime, ms
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

// Keeps only what the figures need (arrival, size, and whether the chunk was
// voiced when that is asked for), so the bench's own cost stays small.
function record(capture, withSpeechEnded) {
  const log = { chunks: [], ended: [] };
  capture.start(
    (error, chunk) => {
      if (!error) {
        log.chunks.push({ at: performance.now(), bytes: chunk.length,
          voiced: withSpeechEnded && s.chunkVoiced(chunk) });
      }
    },
    withSpeechEnded ? (error) => error || log.ended.push(performance.now()) : undefined,
  );
  return log;
}

function silenceBeforeEachEnd(log) {
  return log.ended.map((at) => {
    const voiced = log.chunks.filter((c) => c.at <= at && c.voiced);
    return voiced.length ? at - voiced[voiced.length - 1].at : Infinity;
  });
}

function latencies(log, rate, channels) {
  let frames = 0;
  const offsets = [];
  for (const { at, bytes } of log.chunks) {
    frames += bytes / 2 / channels;
    if (at - log.chunks[0].at >= WARM_UP_MS) offsets.push(at - (frames * 1000) / rate);
  }
  const fastest = Math.min(...offsets);
  return offsets.map((o) => o - fastest).sort((a, b) => a - b);
}

async function phase(addon, rig, withSpeechEnded) {
  const parec = spawn('parec', ['--device', `${rig.outputSink}.monitor`, '--latency-msec=10',
    '--format=s16le', '--rate=48000', '--channels=2', '--raw'],
  { env: s.toolEnv(rig.env), stdio: ['ignore', 'ignore', 'inherit'] });
  const loopback = new addon.ParlantoSystemLoopback();
  const log = record(loopback, withSpeechEnded);
  await s.waitForChunks(log);
  const parecStart = cpuOfPid(parec.pid);
  const audioStart = cpuOfAudioThread();
  const ownStart = process.cpuUsage();
  const wallStart = performance.now();
  await s.sleep(seconds * 1000);
  const wall = (performance.now() - wallStart) / 1000;
  const own = process.cpuUsage(ownStart);
  const parecCpu = cpuOfPid(parec.pid) - parecStart;
  const audioCpu = cpuOfAudioThread() - audioStart;
  loopback.stop();
  parec.kill();
  const sorted = latencies(log, loopback.sampleRate, loopback.channels);
  const ends = silenceBeforeEachEnd(log).sort((a, b) => a - b);
  return {
    ownCpu: (own.user + own.system) / 1000 / wall,
    audioCpu: audioCpu / wall,
    parecCpu: parecCpu / wall,
    chunks: log.chunks.length,
    median: percentile(sorted, 50),
    p99: percentile(sorted, 99),
    ends,
  };
}

async function main() {
  const rig = await s.useRig();
  const addon = s.loadAddon();
  const phrase = s.speechWav(s.fixtureDir(), 'tell me about a project you are proud of');
  // Played from a shell loop so that this process does nothing but capture.
  const player = spawn('sh', ['-c', `while :; do paplay --device ${rig.outputSink} '${phrase}'; sleep 1; done`],
    { env: s.toolEnv(rig.env), stdio: 'ignore', detached: true });
  try {
    const idleStart = process.cpuUsage();
    await s.sleep(5000);
    const idleUse = process.cpuUsage(idleStart);
    const idle = (idleUse.user + idleUse.system) / 1000 / 5;
    const plain = await phase(addon, rig, false);
    const gated = await phase(addon, rig, true);
    const fmt = (x) => x.toFixed(2);
    console.log(`capture of ${seconds} s per phase, 48 kHz stereo loopback, parec alongside; ` +
      `idle process ${fmt(idle)} ms CPU/s`);
    for (const [name, r] of [['without speech-ended', plain], ['with speech-ended', gated]]) {
      console.log(`${name}: process ${fmt(r.ownCpu)} ms CPU/s (audio thread ${fmt(r.audioCpu)}), ` +
        `parec ${fmt(r.parecCpu)} ms CPU/s, ratio ${fmt(r.ownCpu / r.parecCpu)}; ` +
        `${r.chunks} chunks; delivery latency above fastest: ` +
        `median ${fmt(r.median)} ms, p99 ${fmt(r.p99)} ms`);
    }
    const ends = gated.ends;
    if (ends.length) {
      console.log(`speech ended after the last voiced chunk: ${ends.length} phrases, min ${fmt(ends[0])} ms, ` +
        `median ${fmt(percentile(ends, 50))} ms, max ${fmt(ends[ends.length - 1])} ms`);
    }
  } finally {
    process.kill(-player.pid, 'SIGTERM');
    await rig.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
