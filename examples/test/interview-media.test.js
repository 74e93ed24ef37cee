'use strict';
// The demo's own file formats and measurements: WAV in and out, the waveform
// picture, and where speech starts and ends in a synthesised phrase.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { encodeWav, decodeWav } = require('../interview-demo/wav.js');
const { colours, crc32, glyphRows, waveformLayout, waveformPng } = require('../interview-demo/png.js');
const { findText, readPng } = require('./png-reader.js');
const { speechBounds } = require('../interview-demo/speech.js');

function pcm(values) {
  const buffer = Buffer.alloc(values.length * 2);
  values.forEach((v, i) => buffer.writeInt16LE(v, i * 2));
  return buffer;
}

test('WAV files round-trip, and decoding walks past other chunks and an unknown data size', () => {
  const chunks = [pcm([1, -2, 32767, -32768]), pcm([5, 6])];
  const file = encodeWav(chunks, 44100, 2);
  assert.equal(file.length, 44 + 12);
  assert.deepEqual(decodeWav(file), { audioFormat: 1, channels: 2, sampleRate: 44100, bitsPerSample: 16,
                                      data: Buffer.concat(chunks) });

  // A LIST chunk of odd length (padded) before the data, and a streaming
  // writer's data size of 0xffffffff.
  const list = Buffer.concat([Buffer.from('LIST'), Buffer.from([3, 0, 0, 0]), Buffer.from('abc'), Buffer.from([0])]);
  const odd = Buffer.concat([file.subarray(0, 36), list, file.subarray(36)]);
  odd.writeUInt32LE(0xffffffff, 36 + list.length + 4);
  assert.deepEqual(decodeWav(odd).data, Buffer.concat(chunks));

  assert.throws(() => decodeWav(Buffer.from('not a wav file at all')), /RIFF/);
  const float = Buffer.from(file);
  float.writeUInt16LE(3, 20);
  assert.throws(() => decodeWav(float), /unsupported WAV format 3/);
});

test('the picture: the waveform, the markers and their labels where the times say', () => {
  assert.equal(crc32(Buffer.from('123456789')), 0xcbf43926);
  const rate = 1000;
  const samples = new Int16Array(2 * rate);  // 2 s mono: loud in the first second
  for (let i = 0; i < rate; i++) samples[i] = i % 2 ? 16000 : -16000;
  // A speech end at 0.3 s with no phrase end before it, and one 500 ms after the phrase end.
  const lane = { name: 'mic', deviceId: 'source:rig_mic', samples, channels: 1, sampleRate: rate,
                 speechEnded: [0.3, 1.5], phraseEnds: [1.0] };
  const options = { seconds: 2, width: 400, laneHeight: 100 };
  const image = readPng(waveformPng([lane], options));
  const layout = waveformLayout(1, options);
  assert.equal(image.width, 400);
  assert.equal(image.height, layout.height);
  const { top, header } = layout.lanes[0];
  const x = (t) => layout.plot.x + Math.round(t * layout.pxPerSecond);
  const mid = top + 50;
  assert.deepEqual(image.pixel(x(1.5), mid + 20), colours.speechEnded);
  assert.deepEqual(image.pixel(x(1.0), top + 2), colours.phraseEnd);
  assert.deepEqual(image.pixel(x(0.6), mid + 20), colours.wave);     // the loud first second
  assert.notDeepEqual(image.pixel(x(1.2), mid + 20), colours.wave);  // silence after it
  assert.deepEqual(image.pixel(layout.plot.x + layout.plot.width - 1, mid), colours.wave);  // to the end of the axis

  const markers = [0, top, image.width, top + 40];
  assert.ok(findText(image, '+500 ms', colours.speechEnded, markers), 'the delay at the second speech end');
  assert.equal(findText(image, '+', colours.speechEnded, [0, top, x(1.5) - 90, top + 40]), null, 'no delay at the first');
  assert.ok(findText(image, 'mic', colours.text, [0, header, image.width, top]), 'the capture name');
  // The device id is cut short to leave room for the format.
  const labels = [0, header, image.width, top];
  assert.equal(findText(image, 'source:rig_mic', colours.quiet, labels), null);
  assert.ok(findText(image, '...   1000 Hz, 1 channel', colours.quiet, labels), 'the format');
  for (const t of ['0 s', '1 s', '2 s']) assert.ok(findText(image, t, colours.text, [0, layout.axis, image.width, image.height]), t);
});

test('the font: a glyph for every printable character, five columns, a row below the baseline only for descenders', () => {
  for (let code = 32; code < 127; code++) {
    const ch = String.fromCharCode(code);
    assert.equal(typeof glyphRows[ch], 'string', `no glyph for ${ch}`);
    const rows = glyphRows[ch].split(' ').filter(Boolean);
    for (const row of rows) assert.match(row, /^[.#]{5}$/, `glyph ${ch}`);
    assert.ok(rows.length <= ('gjpqy'.includes(ch) ? 8 : 7), `glyph ${ch} has ${rows.length} rows`);
  }
  // Letters that differ only in a few pixels stay distinct.
  const seen = new Map();
  for (const [ch, rows] of Object.entries(glyphRows)) {
    const key = rows.split(' ').filter(Boolean).join('').replace(/(\.{5})+$/, '');
    assert.ok(!seen.has(key), `${ch} looks like ${seen.get(key)}`);
    seen.set(key, ch);
  }
});

test('speech bounds find the voiced stretch and the longest pause inside it', () => {
  const rate = 8000;
  const parts = [[0.2, 0], [0.5, 8000], [0.3, 0], [0.5, 8000], [0.4, 0]];
  const values = [];
  for (const [seconds, amplitude] of parts) {
    for (let i = 0; i < seconds * rate; i++) values.push(i % 2 ? amplitude : -amplitude);
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'interview-media-'));
  try {
    const file = path.join(dir, 'phrase.wav');
    fs.writeFileSync(file, encodeWav([pcm(values)], rate, 1));
    const bounds = speechBounds(file);
    assert.ok(Math.abs(bounds.duration - 1.9) < 1e-9);
    assert.ok(Math.abs(bounds.voicedStart - 0.2) < 0.011, `start ${bounds.voicedStart}`);
    assert.ok(Math.abs(bounds.voicedEnd - 1.5) < 0.011, `end ${bounds.voicedEnd}`);
    assert.ok(Math.abs(bounds.longestPause - 0.3) < 0.011, `pause ${bounds.longestPause}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
