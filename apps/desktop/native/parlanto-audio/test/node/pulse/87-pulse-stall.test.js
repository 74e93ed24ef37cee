'use strict';
// The speech-end detector on a server that stalls: the backlog of a 1.2 s
// freeze arrives in one burst, and the pause inside it still counts as the
// time it covers.

const assert = require('node:assert/strict');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let addon;
let fixtures;
s.rigPerFile((ready) => ({ rig, addon, fixtures } = ready));

// 48 kHz stereo 16-bit: each segment a tone (level > 0) or silence, in seconds.
function wavOf(file, segments) {
  const rate = 48000;
  const frames = segments.reduce((n, [seconds]) => n + Math.round(seconds * rate), 0);
  const data = Buffer.alloc(frames * 4);
  let at = 0;
  for (const [seconds, level] of segments) {
    for (let i = 0; i < Math.round(seconds * rate); i++, at++) {
      const v = Math.round(level * 32767 * Math.sin((2 * Math.PI * 440 * i) / rate));
      data.writeInt16LE(v, at * 4);
      data.writeInt16LE(v, at * 4 + 2);
    }
  }
  s.writeStereoWav(file, rate, data);
  return file;
}

test('a 1.2 s stall over the end of a phrase, a second phrase 0.8 s later: two speech-ended', async () => {
  const wav = wavOf(path.join(fixtures, 'two-phrases.wav'), [[0.3, 0], [1.0, 0.5], [0.8, 0], [1.0, 0.5], [1.0, 0]]);
  const mic = new addon.ParlantoMicrophone();
  const log = s.record(mic);
  let frozen = false;
  try {
    await s.waitForChunks(log);
    const playing = rig.play(wav, rig.micFeedSink);
    // Freeze 0.2 s before the first phrase ends: the stall holds that end, the
    // whole pause and the start of the second phrase.
    const from = log.chunks.length;
    while (!log.chunks.slice(from).some((c) => s.chunkVoiced(c.chunk))) await s.sleep(5);
    await s.sleep(800);
    rig.freeze();
    frozen = true;
    await s.sleep(1200);
    rig.thaw();
    frozen = false;
    await playing;
    await s.sleep(800);
  } finally {
    if (frozen) rig.thaw();
    mic.stop();
  }
  assert.deepEqual(log.errors, []);
  assert.equal(log.ended.length, 2, `speech-ended ${log.ended.length} times`);
});
