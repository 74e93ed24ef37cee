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
const zlib = require('node:zlib');
const { decodeWav } = require('../interview-demo/wav.js');

const ready = Boolean(process.env.PARLANTO_AUDIO_ADDON && process.env.PARLANTO_SIDECAR);

// Checks the PNG as a decoder would: signature, chunk order and CRCs, the
// header, and that the inflated image data has exactly one filter byte and
// one row of pixels per line.
function checkPng(file) {
  assert.deepEqual([...file.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  const chunks = [];
  for (let at = 8; at < file.length;) {
    const length = file.readUInt32BE(at);
    const type = file.toString('ascii', at + 4, at + 8);
    const data = file.subarray(at + 8, at + 8 + length);
    if (zlib.crc32) assert.equal(file.readUInt32BE(at + 8 + length), zlib.crc32(file.subarray(at + 4, at + 8 + length)), `CRC of ${type}`);
    chunks.push({ type, data });
    at += 12 + length;
  }
  assert.equal(chunks[0].type, 'IHDR');
  assert.equal(chunks.at(-1).type, 'IEND');
  const width = chunks[0].data.readUInt32BE(0);
  const height = chunks[0].data.readUInt32BE(4);
  assert.deepEqual([...chunks[0].data.subarray(8)], [8, 2, 0, 0, 0]);
  const pixels = zlib.inflateSync(Buffer.concat(chunks.filter((c) => c.type === 'IDAT').map((c) => c.data)));
  assert.equal(pixels.length, height * (1 + width * 3));
  for (let y = 0; y < height; y++) assert.ok(pixels[y * (1 + width * 3)] <= 4, 'filter byte');
  return { width, height, pixels };
}

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

    const png = checkPng(fs.readFileSync(summary.png));
    assert.equal(png.height, 12 + 2 * (180 + 12));
    // The speech-ended markers are drawn: pure red pixels exist in the picture.
    let red = 0;
    for (let i = 0; i + 2 < png.pixels.length; i++) {
      if (png.pixels[i] === 220 && png.pixels[i + 1] === 30 && png.pixels[i + 2] === 30) red++;
    }
    assert.ok(red > 0);
  } finally {
    fs.rmSync(out, { recursive: true, force: true });
  }
});
