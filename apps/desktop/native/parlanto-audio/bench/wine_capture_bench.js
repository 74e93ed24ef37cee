#!/usr/bin/env node
'use strict';
// The Windows module in node.exe under Wine against the Linux module in this
// process, side by side on one private PulseAudio server: both record the
// rig's microphone at the same time while a phrase is played into it.
//
//   PARLANTO_AUDIO_ADDON=build/apps/desktop/native/parlanto-audio/parlanto_audio.node \
//     node apps/desktop/native/parlanto-audio/bench/wine_capture_bench.js [--phrases 6]
//
// Wine, its prefix and node.exe are the ones scripts/setup-windows.sh made
// (override with PARLANTO_WINE, WINEPREFIX, PARLANTO_WINDOWS_NODE; the Windows
// module with PARLANTO_WINDOWS_ADDON). Reported for each side and as a ratio:
// - start(): median milliseconds of 7 starts of a microphone;
// - speech ended: milliseconds after the last voiced chunk, on the sample
//   clock (as the tests measure it), median and worst over the phrases;
// - CPU: milliseconds of CPU per second of capture, of this process and of the
//   Wine process (Wine's own driver thread included; wineserver not).

const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..', '..', '..', '..', '..');
const cache = process.env.PARLANTO_CACHE || path.join(root, '.cache');
process.env.PARLANTO_WINE ||= '/usr/lib/wine/wine64';
process.env.PARLANTO_WINESERVER ||= '/usr/lib/wine/wineserver';
process.env.WINEPREFIX ||= path.join(cache, 'windows', 'prefix');
process.env.PARLANTO_WINDOWS_NODE ||= path.join(cache, 'windows', 'node', 'node.exe');
const windowsAddon = process.env.PARLANTO_WINDOWS_ADDON ||
  path.join(__dirname, '..', 'prebuilds', 'win32-x64', 'parlanto-audio.napi.node');

const s = require('../test/node/support/pulse-support.js');
const { startChild } = require('../test/windows/wine.js');

const args = process.argv.slice(2);
const phrases = Number(args[args.indexOf('--phrases') + 1]) || 6;

function cpuMs(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / 100;  // utime + stime, USER_HZ 100
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

async function main() {
  const rig = await s.useRig();
  const linux = s.loadAddon();
  const win = await startChild({ addon: windowsAddon, env: rig.env });
  try {
    const fixtures = s.fixtureDir();
    const phrase = s.speechWav(fixtures, 'tell me about a project you are proud of');

    const starts = { linux: [], wine: [] };
    for (let i = 0; i < 7; i++) {
      const mic = new linux.ParlantoMicrophone();
      const began = performance.now();
      mic.start(() => {});
      starts.linux.push(performance.now() - began);
      mic.stop();
      const name = `start${i}`;
      starts.wine.push((await win.call('start', { name, kind: 'mic' })).startMs);
      await win.call('stop', { name });
    }

    const linuxMic = new linux.ParlantoMicrophone();
    const log = s.record(linuxMic);
    await win.call('start', { name: 'mic', kind: 'mic', speechEnded: true });
    await s.waitForChunks(log);
    await s.sleep(500);
    const cpuBefore = { linux: cpuMs(process.pid), wine: cpuMs(win.pid) };
    const began = performance.now();
    for (let i = 0; i < phrases; i++) {
      await rig.play(phrase, rig.micFeedSink);
      await s.sleep(1200);
    }
    const seconds = (performance.now() - began) / 1000;
    const cpu = {
      linux: (cpuMs(process.pid) - cpuBefore.linux) / seconds,
      wine: (cpuMs(win.pid) - cpuBefore.wine) / seconds,
    };
    const winResult = await win.call('stop', { name: 'mic' });
    linuxMic.stop();
    const pcm = Buffer.from(winResult.pcm, 'base64');
    let offset = 0;
    const winLog = {
      chunks: winResult.chunks.map(({ at, bytes }) => {
        const chunk = pcm.subarray(offset, offset + bytes);
        offset += bytes;
        return { at, chunk };
      }),
      ended: winResult.ended,
    };
    const ended = {
      linux: s.silenceBeforeEachEnd(log, 48000, 2),
      wine: s.silenceBeforeEachEnd(winLog, 48000, 2),
    };

    const rows = [
      ['start() ms, median', median(starts.linux), median(starts.wine)],
      ['speech ended ms, median', median(ended.linux), median(ended.wine)],
      ['speech ended ms, worst', Math.max(...ended.linux), Math.max(...ended.wine)],
      ['CPU ms per s of capture', cpu.linux, cpu.wine],
    ];
    console.log(`${phrases} phrases; ${ended.linux.length} (Linux) and ${ended.wine.length} (Wine) speech ends`);
    console.log('metric'.padEnd(26) + 'Linux'.padStart(10) + 'Wine'.padStart(10) + 'Wine/Linux'.padStart(12));
    for (const [name, a, b] of rows) {
      console.log(name.padEnd(26) + a.toFixed(1).padStart(10) + b.toFixed(1).padStart(10) +
        (b / a).toFixed(2).padStart(12));
    }
  } finally {
    await win.close();
    await rig.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
