'use strict';
// The main job end to end on a private audio server: a short run of the
// interview demo with the real module and the real sidecar, judged by what it
// leaves behind (summary.json, the WAV files, the picture).
// Needs PARLANTO_AUDIO_ADDON and PARLANTO_SIDECAR (ctest provides both).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { decodeWav } = require('../interview-demo/wav.js');
const { colours, waveformLayout } = require('../interview-demo/png.js');
const { findText, readPng } = require('./png-reader.js');

const ready = Boolean(process.env.PARLANTO_AUDIO_ADDON && process.env.PARLANTO_SIDECAR);

test('the interview demo on the rig: one speech end per phrase, every turn answered, files that decode', { skip: !ready && 'needs PARLANTO_AUDIO_ADDON and PARLANTO_SIDECAR' }, () => {
  const out = fs.mkdtempSync(path.join(os.tmpdir(), 'interview-demo-test-'));
  try {
    const run = spawnSync(process.execPath, [
      '--require', path.join(__dirname, 'no-preload-for-children.js'),
      path.join(__dirname, '..', 'interview-demo', 'main.js'),
      '--rig', '--seconds', '19', '--out', out, '--sidecar', process.env.PARLANTO_SIDECAR,
    ], { encoding: 'utf8', timeout: 90000 });
    assert.equal(run.status, 0, `demo failed:\n${run.stdout}\n${run.stderr}`);
    assert.match(run.stdout, new RegExp(`output folder: ${out.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}`));
    const summary = JSON.parse(fs.readFileSync(path.join(out, 'summary.json'), 'utf8'));
    const why = `\n${run.stdout}`;

    assert.equal(summary.server, 'rig');
    assert.deepEqual(summary.captures.map((c) => c.kind), ['loopback', 'mic']);
    // 19 s hold the first four phrases: two questions, the candidate's answer and the transition.
    assert.ok(summary.phrases.length >= 4, `only ${summary.phrases.length} phrases played${why}`);
    assert.ok(summary.phrases.some((p) => p.capture === 'mic'), why);
    for (const phrase of summary.phrases) {
      assert.equal(phrase.speechEnded.length, 1, `"${phrase.text}" gave ${phrase.speechEnded.length} speech ends${why}`);
      assert.notEqual(phrase.heardEnd, null, `"${phrase.text}" was not heard${why}`);
    }
    for (const capture of summary.captures) assert.deepEqual(capture.unmatchedSpeechEnded, [], why);

    const calls = summary.toolCalls.calls;
    assert.equal(calls.length, summary.phrases.length, why);
    assert.ok(calls.every((c) => c.ok), why);
    calls.forEach((call, i) => {
      assert.equal(call.turn, i + 1);
      assert.equal(call.function === 'classify_interview_turn', call.turn % 2 === 0, `turn ${call.turn}: ${call.function}`);
    });
    // The fourth turn is the transition, classified as such.
    assert.equal(summary.phrases[3].text, "Okay, let's move on to Kafka.");
    assert.equal(calls[3].intentType, 'transition');
    assert.deepEqual(summary.checks, { everyPhraseOneSpeechEnded: true, everyToolCallAnswered: true });

    for (const capture of summary.captures) {
      const wav = decodeWav(fs.readFileSync(capture.wav));
      assert.equal(wav.sampleRate, capture.sampleRate);
      assert.equal(wav.channels, capture.channels);
      assert.equal(wav.data.length, capture.bytes);
      assert.equal(capture.bytes, capture.frames * capture.channels * 2);
      // The run captured for most of its 19 s.
      assert.ok(capture.seconds > 15 && capture.seconds < 23, `${capture.kind}: ${capture.seconds} s`);
    }

    // The picture: a labelled lane per capture whose waveform reaches the end
    // of the time axis, and each speech end marked with its delay.
    const png = readPng(fs.readFileSync(summary.png));
    const layout = waveformLayout(summary.captures.length, { seconds: Math.max(...summary.captures.map((c) => c.seconds)) });
    assert.equal(png.height, layout.height);
    summary.captures.forEach((capture, i) => {
      const { header, top, height } = layout.lanes[i];
      assert.ok(findText(png, capture.kind, colours.text, [0, header, png.width, top]), `${capture.kind} label`);
      assert.ok(findText(png, `${capture.sampleRate} Hz, ${capture.channels} channel${capture.channels === 1 ? '' : 's'}`, colours.quiet,
        [0, header, png.width, top]));
      const lastColumns = [];
      for (let x = layout.plot.x + Math.floor(layout.plot.width * 0.98); x < layout.plot.x + layout.plot.width; x++) {
        lastColumns.push(png.pixel(x, top + Math.floor(height / 2)));
      }
      assert.ok(lastColumns.some((p) => p.join() === colours.wave.join()), `${capture.kind}: the waveform stops short of the axis`);
      for (const phrase of summary.phrases.filter((p) => p.capture === capture.kind)) {
        const delay = `+${Math.round((phrase.speechEnded[0] - phrase.heardEnd) * 1000)} ms`;
        assert.ok(findText(png, delay, colours.speechEnded, [0, top, png.width, top + height]), `${delay} in the ${capture.kind} lane`);
      }
    });
    assert.ok(findText(png, '0 s', colours.text, [0, layout.axis, png.width, png.height]), 'the time axis');
  } finally {
    fs.rmSync(out, { recursive: true, force: true });
  }
});

// Reported, not yet required: now and then the answer into the microphone,
// with the babble mixed under it by the rig, does not end within the run.
test('the demo over babble: every phrase still ends once, and the picture marks each turn', {
  skip: !ready && 'needs PARLANTO_AUDIO_ADDON and PARLANTO_SIDECAR',
  todo: 'the microphone answer over babble at times stays open past the run',
}, () => {
  const out = fs.mkdtempSync(path.join(os.tmpdir(), 'interview-demo-noise-'));
  try {
    const run = spawnSync(process.execPath, [
      '--require', path.join(__dirname, 'no-preload-for-children.js'),
      path.join(__dirname, '..', 'interview-demo', 'main.js'),
      '--rig', '--noise', 'babble', '--seconds', '12', '--out', out, '--sidecar', process.env.PARLANTO_SIDECAR,
    ], { encoding: 'utf8', timeout: 90000 });
    assert.equal(run.status, 0, `demo failed:\n${run.stdout}\n${run.stderr}`);
    const summary = JSON.parse(fs.readFileSync(path.join(out, 'summary.json'), 'utf8'));
    const why = `\n${run.stdout}`;
    assert.equal(summary.noise, 'babble');
    assert.ok(summary.phrases.length >= 2, why);
    for (const phrase of summary.phrases) assert.equal(phrase.speechEnded.length, 1, `"${phrase.text}"${why}`);
    for (const capture of summary.captures) assert.deepEqual(capture.unmatchedSpeechEnded, [], why);

    const png = readPng(fs.readFileSync(summary.png));
    const layout = waveformLayout(summary.captures.length, { seconds: Math.max(...summary.captures.map((c) => c.seconds)) });
    summary.captures.forEach((capture, i) => {
      const { top, height } = layout.lanes[i];
      for (const turn of capture.turns.filter((t) => t.reason === 'silence')) {
        const x = layout.plot.x + Math.round(((turn.start + turn.end) / 2) * layout.pxPerSecond);
        assert.deepEqual(png.pixel(x, top + height - 6), colours.turn, `${capture.kind}: the turn at ${turn.start} s`);
      }
    });
  } finally {
    fs.rmSync(out, { recursive: true, force: true });
  }
});
