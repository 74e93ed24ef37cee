#!/usr/bin/env node
'use strict';
// What the voice turn detector costs, side by side with the level rule in one
// run: a 16 kHz mono loopback capture on a private PulseAudio server (the
// device at 48 kHz stereo, as the rig's sink runs) while the turn corpus's
// pink-noise condition plays, in alternating phases of each detector; and the
// detectors alone over the corpus offline, on this one thread.
//
//   PARLANTO_AUDIO_ADDON=build/apps/desktop/native/parlanto-audio/parlanto_audio.node \
//     node apps/desktop/native/parlanto-audio/bench/turn_detector_bench.js [--seconds 10] [--rounds 3]
//
// Reported: ms of this process's CPU per second of capture for each
// detector and their ratio; offline, ms of CPU per second of audio and the
// multiple of real time.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const s = require('../test/node/support/pulse-support.js');
const corpus = require('../../../../../tools/turn-corpus/corpus.js');

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? Number(args[args.indexOf(name) + 1]) : fallback);
const seconds = option('--seconds', 10);
const rounds = option('--rounds', 3);

const cpuMs = () => {
  const use = process.cpuUsage();
  return (use.user + use.system) / 1000;
};

function offline(detectSpeech) {
  const condition = corpus.buildCondition('pink10');
  const mono = corpus.toInt16(condition.pcm);
  const stereo48 = new Int16Array(mono.length * 6);
  for (let i = 0; i < mono.length; i++) stereo48.fill(mono[i], 6 * i, 6 * i + 6);
  const audio = mono.length / 16000;
  const rows = [];
  for (const [format, pcm, sampleRate, channels] of [['16 kHz mono', mono, 16000, 1], ['48 kHz stereo', stereo48, 48000, 2]]) {
    const cost = {};
    for (const detector of ['level', 'voice']) {
      detectSpeech(pcm, { sampleRate, channels, detector });  // warm
      const start = cpuMs();
      for (let r = 0; r < rounds; r++) detectSpeech(pcm, { sampleRate, channels, detector });
      cost[detector] = (cpuMs() - start) / rounds / audio;
    }
    rows.push({ format, ...cost });
  }
  return rows;
}

async function main() {
  const rig = await s.useRig();
  const { openCapture, detectSpeech } = require('../capture');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-turn-bench-'));
  try {
    // The corpus's pink-noise condition as 48 kHz stereo, played in a loop.
    const condition = corpus.buildCondition('pink10');
    const mono = corpus.toInt16(condition.pcm);
    const data = Buffer.alloc(mono.length * 12);
    for (let i = 0; i < mono.length; i++) {
      for (let k = 0; k < 6; k++) data.writeInt16LE(mono[i], 2 * (6 * i + k));
    }
    const wav = path.join(dir, 'pink10.wav');
    s.writeStereoWav(wav, 48000, data);
    let playing = true;
    const player = (async () => { while (playing) await rig.play(wav, rig.outputSink); })();

    const phases = { level: [], voice: [] };
    for (let round = 0; round < rounds; round++) {
      for (const detector of round % 2 ? ['voice', 'level'] : ['level', 'voice']) {
        const capture = await openCapture({ kind: 'loopback', format: { sampleRate: 16000, channels: 1 }, speechEnd: { detector } });
        let turns = 0;
        capture.on('speech-ended', () => turns++);
        capture.on('data', () => {});
        await s.sleep(1000);
        const start = cpuMs();
        const wall = performance.now();
        await s.sleep(seconds * 1000);
        phases[detector].push({ cpu: (cpuMs() - start) / ((performance.now() - wall) / 1000), turns });
        await capture.stop();
      }
    }
    playing = false;
    await player;
    const mean = (list) => list.reduce((sum, p) => sum + p.cpu, 0) / list.length;
    const level = mean(phases.level);
    const voice = mean(phases.voice);
    console.log(`16 kHz mono loopback capture (device ${48000} Hz stereo), ${rounds} x ${seconds} s per detector, alternating:`);
    console.log(`  level rule      ${level.toFixed(2)} ms CPU per s  (phases: ${phases.level.map((p) => p.cpu.toFixed(2)).join(', ')})`);
    console.log(`  voice detector  ${voice.toFixed(2)} ms CPU per s  (phases: ${phases.voice.map((p) => p.cpu.toFixed(2)).join(', ')})`);
    console.log(`  voice / level   ${(voice / level).toFixed(3)}  (+${((voice / level - 1) * 100).toFixed(1)}%)`);
    console.log('offline, detectSpeech on one thread (pink noise 10 dB below, 50 s):');
    for (const row of offline(detectSpeech)) {
      console.log(`  ${row.format.padEnd(14)} level ${row.level.toFixed(3)} ms/s (${(1000 / row.level).toFixed(0)}x real time), ` +
        `voice ${row.voice.toFixed(3)} ms/s (${(1000 / row.voice).toFixed(0)}x real time)`);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
    await rig.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
