'use strict';
// The capture layer's turn detection: the voice detector and the level rule
// scored offline on the turn corpus (every condition), speechEnd's refusals,
// and, on the fake host, turns that pair up across a stream failure and a
// stop in mid-turn. Runs on Windows too (test/windows): the same native code
// must give the same counts.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { side, waitFor } = require('../support/fake-support');

process.env.PARLANTO_AUDIO_ADDON = process.env.PARLANTO_AUDIO_TEST_ADDON;
const { fake } = require(process.env.PARLANTO_AUDIO_ADDON);
const { openCapture, detectSpeech } = require('../../../capture');
const corpus = require(path.resolve(__dirname, '../../../../../../../tools/turn-corpus/corpus.js'));

const conditions = Object.keys(corpus.CONDITIONS).map((name) => {
  const condition = corpus.buildCondition(name);
  return { ...condition, int16: corpus.toInt16(condition.pcm) };
});

function scored(condition, speechEnd) {
  const { events } = detectSpeech(condition.int16, { sampleRate: condition.sampleRate, ...speechEnd });
  return { events, ...corpus.score(events, condition) };
}

for (const minSilenceMs of [420, 800]) {
  test(`the voice detector ends every turn of every condition once, minSilenceMs ${minSilenceMs}`, () => {
    for (const condition of conditions) {
      const result = scored(condition, { minSilenceMs });
      const what = `${condition.name}: ${JSON.stringify({ ...result, events: undefined })}`;
      // F1 at least 0.95 over 10 turns: every turn ended, at most one extra end.
      assert.equal(result.misses, 0, what);
      assert.ok(result.extra <= 1, what);
      assert.equal(result.insideTurns, 0, what);
      assert.equal(result.atBreaths, 0, what);
      const late = result.delays.filter((ms) => ms < minSilenceMs || ms > minSilenceMs + 280);
      assert.ok(late.length <= 1, `${what}: ends outside ${minSilenceMs}-${minSilenceMs + 280} ms`);
      const started = result.events.filter((e) => e.type === 'speech-started');
      assert.equal(started.length, result.events.length - started.length, `${condition.name}: starts pair with ends`);
    }
  });
}

test('the level rule: exact in the clean condition, and the corpus shows where it fails', () => {
  const byName = Object.fromEntries(conditions.map((c) => [c.name, scored(c, { detector: 'level' })]));
  assert.equal(byName.clean.f1, 1);
  for (const name of ['pink10', 'babble15', 'hum']) assert.ok(byName[name].f1 < 0.5, `${name}: ${byName[name].f1}`);
});

test('detectSpeech takes Int16Array, Buffer and Float32Array alike, and frames of any channel count', () => {
  const clean = conditions[0];
  const reference = detectSpeech(clean.int16, { sampleRate: 16000 });
  assert.ok(reference.turns.length === 10);
  assert.deepEqual(Object.keys(reference.events[1]), ['type', 'frame', 'startFrame', 'endFrame', 'reason', 'time']);
  const buffer = Buffer.from(clean.int16.buffer);
  assert.deepEqual(detectSpeech(buffer, { sampleRate: 16000 }), reference);
  const odd = Buffer.alloc(buffer.length + 1);
  buffer.copy(odd, 1);
  assert.deepEqual(detectSpeech(odd.subarray(1), { sampleRate: 16000 }), reference, 'an unaligned Buffer');
  const floats = Float32Array.from(clean.int16, (v) => v / 32768);
  assert.deepEqual(detectSpeech(floats, { sampleRate: 16000 }).turns, reference.turns);
  const stereo = new Int16Array(clean.int16.length * 2);
  clean.int16.forEach((v, i) => { stereo[2 * i] = v; stereo[2 * i + 1] = v; });
  assert.deepEqual(detectSpeech(stereo, { sampleRate: 16000, channels: 2 }).turns, reference.turns);
  const turn = reference.turns[0];
  assert.equal(turn.reason, 'silence');
  assert.equal(turn.endedFrame - turn.endFrame, 16000 * 0.42);
  assert.equal(reference.events[0].time, (reference.events[0].frame * 1000) / 16000);
});

test('speechEnd and detectSpeech refuse what they cannot take, with InvalidArg', async () => {
  const bad = [
    { detector: 'vad' }, { detector: 1 }, { minSilenceMs: 50 }, { minSilenceMs: 420.5 }, { minSilenceMs: '420' },
    { minSilenceMs: 20000 }, { maxTurnMs: 500 }, { maxTurnMs: 400, minSilenceMs: 420 }, { maxTurnMs: 1e9 },
    { maxTurnMs: '10s' }, { minSilenceMs: 2000, maxTurnMs: 1500 },
  ];
  for (const speechEnd of bad) {
    await assert.rejects(openCapture({ speechEnd }), { code: 'InvalidArg' }, JSON.stringify(speechEnd));
    assert.throws(() => detectSpeech(new Int16Array(160), { sampleRate: 16000, ...speechEnd }), { code: 'InvalidArg' });
  }
  await assert.rejects(openCapture({ speechEnd: 'voice' }), { code: 'InvalidArg' });
  for (const [pcm, options] of [
    [new Int16Array(160), {}], [new Int16Array(160), { sampleRate: 4000 }], [new Int16Array(161), { sampleRate: 16000, channels: 2 }],
    [new Int32Array(160), { sampleRate: 16000 }], [[0, 1], { sampleRate: 16000 }], [new Int16Array(160), null],
    [Buffer.alloc(3), { sampleRate: 16000 }], [new Int16Array(160), { sampleRate: 16000, channels: 0 }],
  ]) {
    assert.throws(() => detectSpeech(pcm, options), { code: 'InvalidArg' });
  }
});

// A 16 kHz mono microphone on the fake host fed the corpus's clean speech.
function turnLog(capture) {
  const log = [];
  capture.on('speech-started', (event) => log.push({ type: 'speech-started', ...event }));
  capture.on('speech-ended', (event) => log.push({ type: 'speech-ended', ...event }));
  return log;
}

function feedSeconds(pcm, from, seconds) {
  const part = pcm.subarray(Math.round(from * 16000), Math.round((from + seconds) * 16000));
  fake.feed('mic', part, { frames: 160 });
}

test('turns pair up: a stream failure in mid-turn ends the turn, and so does a stop', async () => {
  fake.reset({ devices: [{ key: 'mic', input: side(1, 16000) }], defaultInput: 'mic' });
  const clean = conditions[0];
  const first = clean.turns[0];
  const capture = await openCapture({ chunkMs: 0 });
  const log = turnLog(capture);
  let resumed = 0;
  capture.on('error', () => {});
  capture.on('resumed', () => resumed++);
  try {
    // Background, then the first second of a turn: started, not ended.
    feedSeconds(clean.pcm, 0, first.start / 16000 + 1);
    await waitFor(() => log.length === 1, 'speech-started');
    fake.fireError('mic', 'device unplugged');
    await waitFor(() => log.length === 2, 'the interrupted turn to end');
    await waitFor(() => resumed === 1, 'resumed');
    // After the gap, a whole turn with its silence.
    const second = clean.turns[1];
    feedSeconds(clean.pcm, second.start / 16000 - 1, (second.end - second.start) / 16000 + 2);
    await waitFor(() => log.length === 4, 'the next turn');
    // A third, stopped in mid-turn.
    const third = clean.turns[2];
    feedSeconds(clean.pcm, third.start / 16000 - 1, 2);
    await waitFor(() => log.length === 5, 'the third start');
  } finally {
    await capture.stop();
  }
  assert.deepEqual(log.map((e) => [e.type, e.reason]), [
    ['speech-started', undefined], ['speech-ended', 'interrupted'],
    ['speech-started', undefined], ['speech-ended', 'silence'],
    ['speech-started', undefined], ['speech-ended', 'stopped'],
  ]);
  for (let i = 1; i < log.length; i += 2) {
    assert.equal(log[i].startFrame, log[i - 1].frame);
    assert.ok(log[i].endFrame <= log[i].frame && log[i].startFrame < log[i].endFrame);
  }
  assert.ok(log[2].frame > log[1].frame, 'the clock runs on across the gap');
});

test("speechEnd: { detector: 'level' } keeps the level rule's ends; the layer's default is the voice detector", async () => {
  fake.reset({ devices: [{ key: 'mic', input: side(1, 16000) }], defaultInput: 'mic' });
  const clean = conditions[0];
  const [turn] = clean.turns;
  const seconds = (turn.end + 16000) / 16000;
  const ends = {};
  for (const detector of ['level', 'voice']) {
    const capture = await openCapture({ chunkMs: 0, speechEnd: { detector } });
    const log = turnLog(capture);
    try {
      feedSeconds(clean.pcm, 0, seconds);
      await waitFor(() => log.length === 2, `${detector}: the turn's end`);
    } finally {
      await capture.stop();
    }
    ends[detector] = log[1];
  }
  const offline = (detector) => detectSpeech(clean.int16.subarray(0, seconds * 16000), { sampleRate: 16000, detector }).turns[0];
  assert.equal(ends.level.frame, offline('level').endedFrame);
  assert.equal(ends.voice.frame, offline('voice').endedFrame);
  assert.notEqual(ends.level.frame, ends.voice.frame);
});
