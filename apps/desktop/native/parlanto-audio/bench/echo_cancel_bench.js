#!/usr/bin/env node
'use strict';
// CPU of an echo-cancelled microphone capture against a plain one, side by
// side in one run on a private PulseAudio server, through the test-only echo
// probe (the real backend).
//
//   PARLANTO_AUDIO_ECHO_PROBE=build/apps/desktop/native/parlanto-audio/test/parlanto_audio_echo_probe.node \
//     node apps/desktop/native/parlanto-audio/bench/echo_cancel_bench.js [--seconds 20] [--rounds 3]
//
// Rounds alternate a plain capture (one microphone stream) with an
// echo-cancelled one (the microphone stream through the stage, plus the
// loopback reference stream) while speech plays on the output sink and, from
// there, into the microphone. Reported: milliseconds of this process's CPU
// per second of capture for each, their ratio, and the stage's own time.

const path = require('node:path');
const s = require('../test/node/pulse-support.js');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
};
const seconds = option('--seconds', 20);
const rounds = option('--rounds', 3);

async function main() {
  const probe = require(path.resolve(process.env.PARLANTO_AUDIO_ECHO_PROBE));
  const rig = await s.useRig();
  const fixtures = s.fixtureDir();
  const wav = s.speechWav(fixtures, 'tell me about a time you disagreed with your manager and what you did next');
  const loopback = (await rig.pactl(['load-module', 'module-loopback', `source=${rig.outputSink}.monitor`,
    `sink=${rig.micFeedSink}`, 'latency_msec=40', 'adjust_time=0'])).trim();
  let playing = true;
  const player = (async () => {
    while (playing) await rig.play(wav, rig.outputSink);
  })();

  const measure = async (cancel) => {
    const p = probe.start({ reference: 'default', cancel, plain: !cancel });
    await s.sleep(1000);
    const before = process.cpuUsage();
    const started = performance.now();
    await s.sleep(seconds * 1000);
    const used = process.cpuUsage(before);
    const elapsed = (performance.now() - started) / 1000;
    const result = p.stop();
    return { cpu: (used.user + used.system) / 1000 / elapsed, stage: (1000 * result.stageSeconds) / (elapsed + 1) };
  };

  const plain = [];
  const cancelled = [];
  try {
    for (let round = 0; round < rounds; round++) {
      plain.push(await measure(false));
      cancelled.push(await measure(true));
    }
  } finally {
    playing = false;
    await player;
    await rig.pactl(['unload-module', loopback]);
    await rig.stop();
  }
  const mean = (list, key) => list.reduce((sum, x) => sum + x[key], 0) / list.length;
  const plainCpu = mean(plain, 'cpu');
  const cancelledCpu = mean(cancelled, 'cpu');
  console.log(`plain capture:          ${plainCpu.toFixed(2)} ms CPU per s`);
  console.log(`echo-cancelled capture: ${cancelledCpu.toFixed(2)} ms CPU per s ` +
    `(stage alone ${mean(cancelled, 'stage').toFixed(2)} ms per s)`);
  console.log(`ratio:                  ${(cancelledCpu / plainCpu).toFixed(2)}`);
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
