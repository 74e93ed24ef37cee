'use strict';
// A PNG writer (8-bit RGB, no interlace) on node's zlib, and the waveform
// picture the demo leaves behind: one lane per capture, the signal as min/max
// columns, a grid line per second, the speech-ended moments in red and the
// real ends of the played phrases as green ticks along the top of the lane.

const zlib = require('node:zlib');

const crcTable = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) c = crcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function pngChunk(type, data) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, 'ascii');
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, crc]);
}

// `rgb`: width * height * 3 bytes, rows top to bottom.
function encodePng(width, height, rgb) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr[8] = 8;  // bits per channel
  ihdr[9] = 2;  // truecolour
  const raw = Buffer.alloc(height * (1 + width * 3));
  for (let y = 0; y < height; y++) {
    raw[y * (1 + width * 3)] = 0;  // filter: none
    rgb.copy(raw, y * (1 + width * 3) + 1, y * width * 3, (y + 1) * width * 3);
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    pngChunk('IHDR', ihdr),
    pngChunk('IDAT', zlib.deflateSync(raw, { level: 9 })),
    pngChunk('IEND', Buffer.alloc(0)),
  ]);
}

class Canvas {
  constructor(width, height, background) {
    this.width = width;
    this.height = height;
    this.rgb = Buffer.alloc(width * height * 3);
    this.fill(0, 0, width, height, background);
  }
  set(x, y, [r, g, b]) {
    if (x < 0 || y < 0 || x >= this.width || y >= this.height) return;
    const at = (y * this.width + x) * 3;
    this.rgb[at] = r;
    this.rgb[at + 1] = g;
    this.rgb[at + 2] = b;
  }
  fill(x0, y0, w, h, colour) {
    for (let y = y0; y < y0 + h; y++) for (let x = x0; x < x0 + w; x++) this.set(x, y, colour);
  }
  png() {
    return encodePng(this.width, this.height, this.rgb);
  }
}

const colours = {
  background: [255, 255, 255],
  lane: [246, 247, 250],
  grid: [222, 224, 230],
  threshold: [200, 204, 214],
  wave: [40, 90, 170],
  speechEnded: [220, 30, 30],
  phraseEnd: [20, 150, 60],
};

// lanes: [{ samples: Int16Array (interleaved), channels, sampleRate,
//           speechEnded: [seconds], phraseEnds: [seconds] }]
// All lanes share one time axis of `seconds`. `threshold` is drawn as a pair
// of faint lines (a fraction of full scale).
function waveformPng(lanes, { seconds, width = 1200, laneHeight = 180, threshold = 0 } = {}) {
  const gap = 12;
  const height = Math.max(1, lanes.length) * (laneHeight + gap) + gap;
  const canvas = new Canvas(width, height, colours.background);
  const pxPerSecond = width / seconds;
  lanes.forEach((lane, index) => {
    const top = gap + index * (laneHeight + gap);
    const mid = top + Math.floor(laneHeight / 2);
    const half = Math.floor(laneHeight / 2) - 4;
    canvas.fill(0, top, width, laneHeight, colours.lane);
    for (let s = 1; s < seconds; s++) canvas.fill(Math.round(s * pxPerSecond), top, 1, laneHeight, colours.grid);
    if (threshold > 0) {
      const dy = Math.max(1, Math.round(threshold * half));
      canvas.fill(0, mid - dy, width, 1, colours.threshold);
      canvas.fill(0, mid + dy, width, 1, colours.threshold);
    }
    const frames = Math.floor(lane.samples.length / lane.channels);
    const framesPerPx = (lane.sampleRate * seconds) / width;
    for (let x = 0; x < width; x++) {
      const from = Math.floor(x * framesPerPx);
      const to = Math.min(frames, Math.floor((x + 1) * framesPerPx));
      if (from >= to) continue;
      let lo = 0;
      let hi = 0;
      for (let f = from; f < to; f++) {
        for (let c = 0; c < lane.channels; c++) {
          const v = lane.samples[f * lane.channels + c] / 32768;
          if (v < lo) lo = v;
          if (v > hi) hi = v;
        }
      }
      const y0 = mid - Math.round(hi * half);
      const y1 = mid - Math.round(lo * half);
      canvas.fill(x, y0, 1, Math.max(1, y1 - y0 + 1), colours.wave);
    }
    for (const t of lane.phraseEnds) canvas.fill(Math.round(t * pxPerSecond) - 1, top, 3, 14, colours.phraseEnd);
    for (const t of lane.speechEnded) canvas.fill(Math.round(t * pxPerSecond) - 1, top, 3, laneHeight, colours.speechEnded);
  });
  return canvas.png();
}

module.exports = { crc32, encodePng, waveformPng };
