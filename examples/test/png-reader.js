'use strict';
// Reads the demo's pictures back for the tests: the PNG checked as a decoder
// would, its pixels, and where a line of text in the demo's font stands.
const assert = require('node:assert/strict');
const zlib = require('node:zlib');
const { Canvas, textWidth } = require('../interview-demo/png.js');

// Signature, chunk order and CRCs, the header, and exactly one filter byte
// and one row of pixels per line.
function readPng(file) {
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
  const rows = zlib.inflateSync(Buffer.concat(chunks.filter((c) => c.type === 'IDAT').map((c) => c.data)));
  assert.equal(rows.length, height * (1 + width * 3));
  for (let y = 0; y < height; y++) assert.equal(rows[y * (1 + width * 3)], 0, 'filter byte');
  const pixel = (x, y) => [...rows.subarray(y * (1 + width * 3) + 1 + x * 3, y * (1 + width * 3) + 4 + x * 3)];
  return { width, height, pixel };
}

// The x and y of the first place in the box [x0, x1) x [y0, y1) where `text`
// stands in `colour` (its set pixels in that colour, its unset ones not), or
// null.
function findText(image, text, colour, [x0, y0, x1, y1]) {
  const w = textWidth(text);
  const glyphs = new Canvas(w, 16, [0, 0, 0]);
  glyphs.text(0, 0, text, [255, 255, 255]);
  const on = [];
  const off = [];
  for (let y = 0; y < 16; y++) for (let x = 0; x < w; x++) (glyphs.rgb[(y * w + x) * 3] ? on : off).push([x, y]);
  const same = (x, y) => image.pixel(x, y).every((v, i) => v === colour[i]);
  for (let y = y0; y + 16 <= Math.min(y1, image.height); y++) {
    for (let x = x0; x + w <= Math.min(x1, image.width); x++) {
      if (on.every(([dx, dy]) => same(x + dx, y + dy)) && !off.some(([dx, dy]) => same(x + dx, y + dy))) return [x, y];
    }
  }
  return null;
}

module.exports = { readPng, findText };
