'use strict';
// The microphone class on a private PulseAudio server: speech played into the
// microphone's feed arrives intact.

const assert = require('node:assert/strict');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');

let rig;
let addon;
let fixtures;
s.rigPerFile((ready) => ({ rig, addon, fixtures } = ready));

test('speech played into the microphone arrives as chunks that add up to it', async () => {
  const wav = s.speechWav(fixtures, 'tell me about a project you are proud of');
  const played = s.readWav(wav);
  const mic = new addon.ParlantoMicrophone();
  const log = s.record(mic, { speechEnded: false });
  try {
    assert.equal(mic.sampleRate, 48000);
    assert.equal(mic.channels, 2);
    await s.waitForChunks(log);
    await rig.play(wav, rig.micFeedSink);
    await s.sleep(300);
  } finally {
    mic.stop();
  }
  assert.deepEqual(log.errors, []);
  for (const { chunk } of log.chunks) {
    assert.ok(chunk.length > 0 && chunk.length % (2 * mic.channels) === 0, 'whole frames');
  }

  const captured = log.samples();
  const heard = s.voicedSpan(captured, mic.channels);
  const spoken = s.voicedSpan(played.samples, played.channels);
  assert.ok(heard, 'the speech arrived');
  const ms = (span, rate) => ((span.end - span.first) * 1000) / rate;
  assert.ok(
    Math.abs(ms(heard, mic.sampleRate) - ms(spoken, played.rate)) <= 50,
    `voiced ${ms(heard, mic.sampleRate)} ms, played ${ms(spoken, played.rate)} ms`,
  );
  const heardLevel = s.rms(captured, mic.channels, heard.first, heard.end);
  const spokenLevel = s.rms(played.samples, played.channels, spoken.first, spoken.end);
  assert.ok(
    Math.abs(heardLevel - spokenLevel) <= 0.05 * spokenLevel,
    `level ${heardLevel}, played ${spokenLevel}`,
  );
});

test('a stopped microphone starts again on the same device', async () => {
  const mic = new addon.ParlantoMicrophone('source:rig_mic');
  for (let round = 0; round < 2; round++) {
    const log = s.record(mic, { speechEnded: false });
    try {
      await s.waitForChunks(log, 5);
    } finally {
      mic.stop();
    }
    // Chunks queued before stop are still delivered; none is made after it.
    await s.sleep(50);
    const count = log.chunks.length;
    await s.sleep(150);
    assert.equal(log.chunks.length, count, 'nothing arrives after stop');
  }
});

test('a running microphone stays on its device when the default source changes', async () => {
  const wav = s.toneWav(fixtures, 0.5);
  const mic = new addon.ParlantoMicrophone();
  const log = s.record(mic, { speechEnded: false });
  try {
    await s.waitForChunks(log);
    await rig.pactl(['load-module', 'module-null-source', 'source_name=rig_other']);
    await rig.pactl(['set-default-source', 'rig_other']);
    await s.sleep(100);
    await rig.play(wav, rig.micFeedSink);
    await s.sleep(200);
  } finally {
    mic.stop();
  }
  assert.ok(s.rms(log.samples(), 2) > 0.05, 'the tone played into the microphone arrived');
});
