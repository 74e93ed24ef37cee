'use strict';
// Turns through a real server: two of the turn corpus's conditions (pink
// noise 10 dB below the speech, babble 15 dB below) played into the private
// server's microphone and captured with openCapture at 16 kHz mono with the
// default detector, as an application captures. Every turn must end once,
// in the same window as offline, and start near where its speech starts.

const assert = require('node:assert/strict');
const path = require('node:path');
const { test } = require('node:test');
const s = require('../support/pulse-support.js');
const corpus = require(path.resolve(__dirname, '../../../../../../../tools/turn-corpus/corpus.js'));

let rig;
let fixtures;
let layer;
s.rigPerFile((ready) => {
  ({ rig, fixtures } = ready);
  layer = require('../../../capture');
});

const TURNS = 5;

// The condition's first five turns and 2 s after them, as the 48 kHz stereo
// file the rig plays, after a lead-in of its background alone: the capture
// opens while the background plays, as it would in a room.
function excerpt(name) {
  const condition = corpus.buildCondition(name);
  const length = condition.turns[TURNS - 1].end + 2 * condition.sampleRate;
  const mono = corpus.toInt16(condition.pcm.subarray(0, length));
  const lead = mono.subarray(0, condition.turns[0].start);
  const played = new Int16Array(lead.length + mono.length);
  played.set(lead);
  played.set(mono, lead.length);
  const data = Buffer.alloc(played.length * 12);
  for (let i = 0; i < played.length; i++) {
    for (let k = 0; k < 6; k++) data.writeInt16LE(played[i], 2 * (6 * i + k));
  }
  const file = path.join(fixtures, `${name}.wav`);
  s.writeStereoWav(file, 48000, data);
  return { ...condition, turns: condition.turns.slice(0, TURNS), int16: mono, played, lead: lead.length, file };
}

// How far into `played` the capture began: the lag that best lines up their
// 10 ms envelopes.
function lagOf(captured, played, most) {
  const envelope = (pcm) => {
    const out = [];
    for (let w = 0; w + 160 <= pcm.length; w += 160) out.push(s.rms(pcm, 1, w, w + 160));
    return out;
  };
  return s.bestLag(envelope(captured), envelope(played), most / 160) * 160;
}

for (const name of ['pink10', 'babble15']) {
  test(`${name}: every turn played into the microphone ends once, as offline`, async (t) => {
    const condition = excerpt(name);
    const playing = rig.play(condition.file, rig.micFeedSink);
    await s.sleep(600);
    const mic = await layer.openCapture({ kind: 'microphone', format: { sampleRate: 16000, channels: 1 } });
    const chunks = [];
    const events = [];
    let first = null;
    mic.on('data', (chunk, { frame }) => {
      if (first === null) first = frame;
      chunks.push(chunk);
    });
    mic.on('speech-started', (event) => events.push({ type: 'speech-started', ...event }));
    mic.on('speech-ended', (event) => events.push({ type: 'speech-ended', ...event }));
    try {
      await playing;
      await s.sleep(500);
    } finally {
      await mic.stop();
    }
    const captured = s.pcmSamples(Buffer.concat(chunks));
    // The capture frame of the corpus's first sample.
    const offset = first + condition.lead - lagOf(captured, condition.played, condition.lead);
    const result = corpus.score(events.filter((e) => e.reason !== 'stopped'), condition, { offset });
    t.diagnostic(`${name}: ${JSON.stringify(result)}`);
    assert.equal(result.misses, 0, JSON.stringify(result));
    assert.equal(result.extra, 0, JSON.stringify(result));
    const starts = events.filter((e) => e.type === 'speech-started').map((e) => e.frame - offset);
    assert.equal(starts.length, TURNS);
    condition.turns.forEach((turn, i) => {
      assert.ok(Math.abs(starts[i] - turn.start) < 0.15 * 16000, `turn ${i} started ${(starts[i] - turn.start) / 16} ms off`);
    });
    const offline = corpus.score(layer.detectSpeech(condition.int16, { sampleRate: 16000 }).events, condition);
    result.delays.forEach((ms, i) => {
      // The server's mixing moves the background against the voice by a few
      // ms, which can move the detector's hold after the last voice.
      assert.ok(Math.abs(ms - offline.delays[i]) < 150, `turn ${i}: ${ms} ms live, ${offline.delays[i]} ms offline`);
    });
  });
}
