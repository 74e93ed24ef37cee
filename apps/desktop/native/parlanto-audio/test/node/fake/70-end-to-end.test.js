'use strict';
// A capture on the fake host playing speech-like sound then silence at real
// pace: every chunk arrives, in order, and speech end is told once.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestAddon, side, recorder, sleep, waitFor } = require('../support/fake-support');

const { fake, ParlantoMicrophone } = loadTestAddon();

const RATE = 48000;
const CHANNELS = 2;
const FRAMES = 480; // 10 ms buffers

// Voice for 300 ms, a 150 ms pause (shorter than the 420 ms needed), voice for
// 300 ms, then 1.2 s of faint noise well under the threshold.
function voiceThenSilence() {
  const parts = [[300, true], [150, false], [300, true], [1200, false]];
  const total = parts.reduce((sum, [ms]) => sum + (ms * RATE) / 1000, 0);
  const signal = new Float32Array(total * CHANNELS);
  let frame = 0;
  let seed = 1;
  const noise = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed / 2147483648 - 0.5; };
  for (const [ms, voiced] of parts) {
    for (let i = 0; i < (ms * RATE) / 1000; i += 1, frame += 1) {
      const t = frame / RATE;
      const voice = 0.2 * Math.sin(2 * Math.PI * 180 * t) + 0.1 * Math.sin(2 * Math.PI * 540 * t);
      signal[frame * 2] = voiced ? voice : 0.002 * noise();
      signal[frame * 2 + 1] = voiced ? -0.5 * voice : 0.002 * noise();
    }
  }
  return signal;
}

// What the module must make of the signal: 16-bit little-endian, scaled by
// 32767 in single precision, truncated toward zero.
function expectedPcm(signal) {
  const out = Buffer.alloc(signal.length * 2);
  for (let i = 0; i < signal.length; i += 1) {
    const x = Math.min(1, Math.max(-1, signal[i]));
    out.writeInt16LE(Math.trunc(Math.fround(x * 32767)), i * 2);
  }
  return out;
}

test('voice then silence at real pace: every chunk in order, one speech end', async () => {
  fake.reset({ devices: [{ key: 'mic', input: side(CHANNELS, RATE) }], defaultInput: 'mic' });
  const signal = voiceThenSilence();
  const buffers = signal.length / (FRAMES * CHANNELS);

  const r = recorder();
  const mic = new ParlantoMicrophone();
  mic.start(r.onData, r.onEnded);
  assert.deepEqual([mic.sampleRate, mic.channels], [RATE, CHANNELS]);
  const fedAt = performance.now();
  fake.feed(undefined, signal, { frames: FRAMES, speed: 1 });
  await waitFor(() => r.chunks.length === buffers, 'every chunk');
  await sleep(100);
  mic.stop();

  assert.ok(r.chunks.every((chunk) => chunk.length === FRAMES * CHANNELS * 2));
  assert.ok(Buffer.concat(r.chunks).equals(expectedPcm(signal)), 'the chunks, in order');

  assert.equal(r.ended, 1);
  // The fake plays buffer i once (i + 1) * 10 ms have passed since the feed,
  // so the voice ends 750 ms in and speech end is due 420 ms later; it must
  // come before the silence has run out.
  const [{ at, chunks }] = r.endedAt;
  const voiceEnd = 750;
  assert.ok(at - fedAt >= voiceEnd + 420 - 1,
    `speech end told ${(at - fedAt - voiceEnd).toFixed(0)} ms after the voice`);
  assert.ok(chunks < buffers, 'speech end told while the silence still played');
});
