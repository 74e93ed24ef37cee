'use strict';
// The demo's own file formats and measurements: WAV in and out, the waveform
// picture, and where speech starts and ends in a synthesised phrase.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { encodeWav, decodeWav } = require('../interview-demo/wav.js');
const { crc32, waveformPng } = require('../interview-demo/png.js');
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

test('the picture is a valid PNG with the waveform and the markers where the times say', () => {
  assert.equal(crc32(Buffer.from('123456789')), 0xcbf43926);
  const rate = 1000;
  const samples = new Int16Array(2 * rate);  // 2 s mono: loud in the first second
  for (let i = 0; i < rate; i++) samples[i] = i % 2 ? 16000 : -16000;
  const png = waveformPng([{ samples, channels: 1, sampleRate: rate, speechEnded: [1.5], phraseEnds: [1.0] }],
                          { seconds: 2, width: 200, laneHeight: 100 });
  assert.equal(png.readUInt32BE(16), 200);
  assert.equal(png.readUInt32BE(20), 124);
  const idat = png.subarray(png.indexOf('IDAT') + 4, png.indexOf('IEND') - 8);
  const rows = zlib.inflateSync(idat);
  const pixel = (x, y) => [...rows.subarray(y * 601 + 1 + x * 3, y * 601 + 1 + x * 3 + 3)];
  const mid = 12 + 50;
  assert.deepEqual(pixel(150, mid + 20), [220, 30, 30]);   // speech ended at 1.5 s
  assert.deepEqual(pixel(100, 14), [20, 150, 60]);          // phrase end tick at 1.0 s
  assert.deepEqual(pixel(50, mid - 20), [40, 90, 170]);     // the loud first second
  assert.notDeepEqual(pixel(120, mid - 20), [40, 90, 170]); // silence after it
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
