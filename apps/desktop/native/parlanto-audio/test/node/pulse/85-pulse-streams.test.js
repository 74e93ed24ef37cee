'use strict';
// How captures appear to the server: each kind is a stream of its own, with its
// own name in mixers and its own entry in the server's volume memory.

const assert = require('node:assert/strict');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let addon;
let fixtures;
s.rigPerFile((ready) => ({ rig, addon, fixtures } = ready));

// The server's record streams with their properties and volume.
async function recordStreams() {
  const text = await rig.pactl(['list', 'source-outputs']);
  return text.split('Source Output #').slice(1).map((block) => {
    const props = {};
    for (const [, key, value] of block.matchAll(/^\s*([\w.]+) = "(.*)"$/gm)) props[key] = value;
    const volume = block.match(/Volume:.*?(\d+)%/);
    return { index: block.split('\n')[0].trim(), props, volume: volume && Number(volume[1]) };
  });
}

async function ourStream(appId) {
  const deadline = Date.now() + 3000;
  for (;;) {
    const found = (await recordStreams()).find((o) => o.props['application.id'] === appId);
    if (found || Date.now() > deadline) return found;
    await s.sleep(20);
  }
}

test('a microphone turned down to 30% leaves the next loopback capture at full level', async () => {
  const mic = new addon.ParlantoMicrophone();
  s.record(mic, { speechEnded: false });
  const micStream = await ourStream('parlanto-audio.microphone');
  assert.ok(micStream, 'the microphone stream is on the server');
  assert.equal(micStream.props['media.name'], 'Microphone');
  await rig.pactl(['set-source-output-volume', micStream.index, '30%']);
  await s.sleep(200);  // the server saves the volume on its own schedule
  mic.stop();

  const tone = s.toneWav(fixtures, 1.0);
  const loopback = new addon.ParlantoSystemLoopback();
  const log = s.record(loopback, { speechEnded: false });
  let loopStream;
  try {
    loopStream = await ourStream('parlanto-audio.system-audio');
    await s.waitForChunks(log);
    await rig.play(tone, rig.outputSink);
    await s.sleep(300);
  } finally {
    loopback.stop();
  }
  assert.ok(loopStream, 'the loopback stream is on the server');
  assert.equal(loopStream.props['media.name'], 'System audio');
  assert.equal(loopStream.volume, 100);
  const peak = log.samples().reduce((m, v) => Math.max(m, Math.abs(v)), 0);
  assert.ok(peak > 16384 * 0.95, `loopback peak ${peak}`);

  // The microphone's own entry is still there: it comes back at 30%.
  const again = new addon.ParlantoMicrophone();
  s.record(again, { speechEnded: false });
  try {
    assert.equal((await ourStream('parlanto-audio.microphone')).volume, 30);
  } finally {
    again.stop();
  }
});
