'use strict';
// The system-loopback class on a private PulseAudio server: what the output
// sink plays arrives, and the end of each phrase is signalled once, on time.

const assert = require('node:assert/strict');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let addon;
let phrase;
s.rigPerFile((ready) => {
  ({ rig, addon } = ready);
  phrase = s.speechWav(ready.fixtures, 'the quick brown fox jumps over the lazy dog');
});

// Plays `plays` (a function) into a running loopback and returns its log once
// the last notification has had time to come.
async function capture(plays) {
  const loopback = new addon.ParlantoSystemLoopback();
  const log = s.record(loopback);
  try {
    await s.waitForChunks(log);
    await plays();
    await s.sleep(800);
  } finally {
    loopback.stop();
  }
  assert.deepEqual(log.errors, []);
  assert.equal(loopback.sampleRate, 48000);
  assert.equal(loopback.channels, 2);
  return log;
}

function assertOnTime(t, log) {
  const silences = s.silenceBeforeEachEnd(log, 48000, 2);
  t.diagnostic(`speech ended ${silences.map((ms) => ms.toFixed(1)).join(', ')} ms after the last voiced chunk`);
  for (const silence of silences) {
    assert.ok(silence >= 420 && silence <= 520, `speech ended ${silence.toFixed(1)} ms after the last voiced chunk`);
  }
}

test('a phrase played on the output arrives and ends once, 420 to 520 ms after its last voice', async (t) => {
  const log = await capture(() => rig.play(phrase, rig.outputSink));
  const played = s.readWav(phrase);
  const heard = s.voicedSpan(log.samples(), 2);
  const spoken = s.voicedSpan(played.samples, 2);
  assert.ok(heard, 'the phrase arrived');
  assert.ok(Math.abs(heard.end - heard.first - (spoken.end - spoken.first)) <= 48 * 50);
  assert.equal(log.ended.length, 1);
  assertOnTime(t, log);
});

test('two phrases a second apart end twice', async (t) => {
  const log = await capture(async () => {
    await rig.play(phrase, rig.outputSink);
    await s.sleep(1000);
    await rig.play(phrase, rig.outputSink);
  });
  assert.equal(log.ended.length, 2);
  assertOnTime(t, log);
});

test('silence alone never ends speech', async () => {
  const log = await capture(() => s.sleep(1500));
  assert.ok(log.chunks.length > 100);
  assert.equal(s.voicedSpan(log.samples(), 2), null);
  assert.deepEqual(log.ended, []);
});
