#!/usr/bin/env node
'use strict';
// CPU of the capture layer per second of capture, side by side with parec
// recording the same monitor in the same run, on a private PulseAudio server.
//
//   PARLANTO_AUDIO_ADDON=build/apps/desktop/native/parlanto-audio/parlanto_audio.node \
//     node apps/desktop/native/parlanto-audio/bench/capture_layer_bench.js [--seconds 30] [--chunk-ms 40]
//
// Phases, each with its own parec (48 kHz stereo, 10 ms latency, to
// /dev/null) and a phrase played on the output sink every few seconds:
// - the module's own class (ParlantoSystemLoopback.start), for reference;
// - openCapture at the device's format;
// - openCapture at 16 kHz mono;
// - the same three with the JavaScript thread blocked for 1 s of every 2
//   (Atomics.wait: blocked without using CPU itself).
// Reported: ms of CPU per second of capture, and the ratio to parec's.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const s = require('../test/node/support/pulse-support.js');

const args = process.argv.slice(2);
const seconds = Number(args[args.indexOf('--seconds') + 1]) || 30;
const chunkMs = args.includes('--chunk-ms') ? Number(args[args.indexOf('--chunk-ms') + 1]) : undefined;
// CPU time of a process or thread in ms, from the scheduler's nanosecond
// count (the 10 ms ticks of /proc/PID/stat are too coarse for 2 ms a second).
function cpuOfPid(pid) {
  return Number(fs.readFileSync(`/proc/${pid}/schedstat`, 'utf8').split(' ')[0]) / 1e6;
}

// CPU of this process's audio threads (the backend's mainloops), ms.
function audioThreadCpu() {
  let total = 0;
  for (const tid of fs.readdirSync('/proc/self/task')) {
    try {
      const name = fs.readFileSync(`/proc/self/task/${tid}/comm`, 'utf8').trim();
      if (name === 'parlanto-pulse') total += cpuOfPid(`self/task/${tid}`);
    } catch {}
  }
  return total;
}

// Blocks this thread without using CPU, as a busy application would block it
// without the blocking's own cost entering the figures.
function blockFor(ms) {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

function ownCpu() {
  const use = process.cpuUsage();
  return (use.user + use.system) / 1000;
}

async function phase(rig, open, blocked) {
  const parec = spawn('parec', ['--device', `${rig.outputSink}.monitor`, '--latency-msec=10',
    '--format=s16le', '--rate=48000', '--channels=2', '--raw'],
  { env: s.toolEnv(rig.env), stdio: ['ignore', 'ignore', 'inherit'] });
  const close = await open();
  await s.sleep(1000);
  const parecStart = cpuOfPid(parec.pid);
  const ownStart = ownCpu();
  const audioStart = audioThreadCpu();
  const wallStart = performance.now();
  while (performance.now() - wallStart < seconds * 1000) {
    if (blocked) blockFor(1000);
    await s.sleep(blocked ? 1000 : 500);
  }
  const wall = (performance.now() - wallStart) / 1000;
  const own = (ownCpu() - ownStart) / wall;
  const audio = (audioThreadCpu() - audioStart) / wall;
  const parecCpu = (cpuOfPid(parec.pid) - parecStart) / wall;
  await close();
  parec.kill();
  return { own, audio, parec: parecCpu };
}

async function main() {
  const rig = await s.useRig();
  const addon = s.loadAddon();
  const layer = require('../capture');
  const phrase = s.speechWav(s.fixtureDir(), 'tell me about a project you are proud of');
  const player = spawn('sh', ['-c', `while :; do paplay --device ${rig.outputSink} '${phrase}'; sleep 1; done`],
    { env: s.toolEnv(rig.env), stdio: 'ignore', detached: true });
  const kinds = {
    'module class, 48 kHz stereo': async () => {
      const loopback = new addon.ParlantoSystemLoopback();
      let bytes = 0;
      loopback.start((error, chunk) => { if (!error) bytes += chunk.length; });
      return async () => loopback.stop();
    },
    'openCapture, device format': async () => {
      const capture = await layer.openCapture({ kind: 'loopback', chunkMs });
      let bytes = 0;
      capture.on('data', (chunk) => { bytes += chunk.length; });
      return () => capture.stop();
    },
    'openCapture, 16 kHz mono': async () => {
      const capture = await layer.openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 }, chunkMs });
      let bytes = 0;
      capture.on('data', (chunk) => { bytes += chunk.length; });
      return () => capture.stop();
    },
  };
  try {
    const idleStart = ownCpu();
    await s.sleep(5000);
    const idle = (ownCpu() - idleStart) / 5;
    console.log(`${seconds} s per phase, loopback of the output sink, parec on the same monitor alongside; ` +
      `chunkMs ${chunkMs === undefined ? 'default' : chunkMs}; idle process ${idle.toFixed(2)} ms CPU/s`);
    for (const blocked of [false, true]) {
      for (const [name, open] of Object.entries(kinds)) {
        const r = await phase(rig, open, blocked);
        console.log(`${name}${blocked ? ', JS blocked 1 s in 2' : ''}: ${r.own.toFixed(2)} ms CPU/s ` +
          `(audio thread ${r.audio.toFixed(2)}), ` +
          `parec ${r.parec.toFixed(2)} ms CPU/s, ratio ${(r.own / r.parec).toFixed(2)}`);
      }
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
