'use strict';
// A PNG writer (8-bit RGB, no interlace) on node's zlib, and the waveform
// picture the demo leaves behind: a legend, one labelled lane per capture with
// the signal as min/max columns, the speech-ended moments in red (each with its
// delay after the phrase end) and the heard ends of the played phrases as
// green ticks along the top of the lane, and a time axis under the lanes.

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

// A 5x7 bitmap font for printable ASCII: rows top to bottom, '#' set. Letters
// with a descender (g j p q y) have an eighth row below the baseline.
const kGlyphRows = {
  ' ': '', '!': '..#.. ..#.. ..#.. ..#.. ..#.. ..... ..#..', '"': '.#.#. .#.#. .#.#.',
  '#': '.#.#. .#.#. ##### .#.#. ##### .#.#. .#.#.', '$': '..#.. .#### #.#.. .###. ..#.# ####. ..#..',
  '%': '##... ##..# ...#. ..#.. .#... #..## ...##', '&': '.##.. #..#. #.#.. .#... #.#.# #..#. .##.#',
  "'": '..#.. ..#.. .#...', '(': '...#. ..#.. .#... .#... .#... ..#.. ...#.',
  ')': '.#... ..#.. ...#. ...#. ...#. ..#.. .#...', '*': '..... ..#.. #.#.# .###. #.#.# ..#..',
  '+': '..... ..#.. ..#.. ##### ..#.. ..#..', ',': '..... ..... ..... ..... .##.. ..#.. .#...',
  '-': '..... ..... ..... #####', '.': '..... ..... ..... ..... ..... .##.. .##..',
  '/': '..... ....# ...#. ..#.. .#... #....', ':': '..... .##.. .##.. ..... .##.. .##..',
  ';': '..... .##.. .##.. ..... .##.. ..#.. .#...', '<': '...#. ..#.. .#... #.... .#... ..#.. ...#.',
  '=': '..... ..... ##### ..... #####', '>': '.#... ..#.. ...#. ....# ...#. ..#.. .#...',
  '?': '.###. #...# ....# ...#. ..#.. ..... ..#..', '@': '.###. #...# ....# .##.# #.#.# #.#.# .###.',
  '[': '.###. .#... .#... .#... .#... .#... .###.', '\\': '..... #.... .#... ..#.. ...#. ....#',
  ']': '.###. ...#. ...#. ...#. ...#. ...#. .###.', '^': '..#.. .#.#. #...#',
  '_': '..... ..... ..... ..... ..... ..... #####', '`': '.#... ..#.. ...#.',
  '{': '...#. ..#.. ..#.. .#... ..#.. ..#.. ...#.', '|': '..#.. ..#.. ..#.. ..#.. ..#.. ..#.. ..#..',
  '}': '.#... ..#.. ..#.. ...#. ..#.. ..#.. .#...', '~': '..... ..... .#... #.#.# ...#.',
  0: '.###. #...# #..## #.#.# ##..# #...# .###.', 1: '..#.. .##.. ..#.. ..#.. ..#.. ..#.. .###.',
  2: '.###. #...# ....# ...#. ..#.. .#... #####', 3: '##### ...#. ..#.. ...#. ....# #...# .###.',
  4: '...#. ..##. .#.#. #..#. ##### ...#. ...#.', 5: '##### #.... ####. ....# ....# #...# .###.',
  6: '..##. .#... #.... ####. #...# #...# .###.', 7: '##### ....# ...#. ..#.. .#... .#... .#...',
  8: '.###. #...# #...# .###. #...# #...# .###.', 9: '.###. #...# #...# .#### ....# ...#. .##..',
  A: '.###. #...# #...# ##### #...# #...# #...#', B: '####. #...# #...# ####. #...# #...# ####.',
  C: '.###. #...# #.... #.... #.... #...# .###.', D: '###.. #..#. #...# #...# #...# #..#. ###..',
  E: '##### #.... #.... ####. #.... #.... #####', F: '##### #.... #.... ####. #.... #.... #....',
  G: '.###. #...# #.... #.### #...# #...# .####', H: '#...# #...# #...# ##### #...# #...# #...#',
  I: '.###. ..#.. ..#.. ..#.. ..#.. ..#.. .###.', J: '..### ...#. ...#. ...#. ...#. #..#. .##..',
  K: '#...# #..#. #.#.. ##... #.#.. #..#. #...#', L: '#.... #.... #.... #.... #.... #.... #####',
  M: '#...# ##.## #.#.# #.#.# #...# #...# #...#', N: '#...# #...# ##..# #.#.# #..## #...# #...#',
  O: '.###. #...# #...# #...# #...# #...# .###.', P: '####. #...# #...# ####. #.... #.... #....',
  Q: '.###. #...# #...# #...# #.#.# #..#. .##.#', R: '####. #...# #...# ####. #.#.. #..#. #...#',
  S: '.#### #.... #.... .###. ....# ....# ####.', T: '##### ..#.. ..#.. ..#.. ..#.. ..#.. ..#..',
  U: '#...# #...# #...# #...# #...# #...# .###.', V: '#...# #...# #...# #...# #...# .#.#. ..#..',
  W: '#...# #...# #...# #.#.# #.#.# #.#.# .#.#.', X: '#...# #...# .#.#. ..#.. .#.#. #...# #...#',
  Y: '#...# #...# .#.#. ..#.. ..#.. ..#.. ..#..', Z: '##### ....# ...#. ..#.. .#... #.... #####',
  a: '..... ..... .###. ....# .#### #...# .####', b: '#.... #.... #.##. ##..# #...# #...# ####.',
  c: '..... ..... .###. #.... #.... #...# .###.', d: '....# ....# .##.# #..## #...# #...# .####',
  e: '..... ..... .###. #...# ##### #.... .###.', f: '..##. .#..# .#... ###.. .#... .#... .#...',
  g: '..... ..... .#### #...# #...# .#### ....# .###.', h: '#.... #.... #.##. ##..# #...# #...# #...#',
  i: '..#.. ..... .##.. ..#.. ..#.. ..#.. .###.', j: '...#. ..... ..##. ...#. ...#. ...#. #..#. .##..',
  k: '#.... #.... #..#. #.#.. ##... #.#.. #..#.', l: '.##.. ..#.. ..#.. ..#.. ..#.. ..#.. .###.',
  m: '..... ..... ##.#. #.#.# #.#.# #.#.# #.#.#', n: '..... ..... #.##. ##..# #...# #...# #...#',
  o: '..... ..... .###. #...# #...# #...# .###.', p: '..... ..... ####. #...# #...# ####. #.... #....',
  q: '..... ..... .#### #...# #...# .#### ....# ....#', r: '..... ..... #.##. ##..# #.... #.... #....',
  s: '..... ..... .###. #.... .###. ....# ####.', t: '.#... .#... ###.. .#... .#... .#..# ..##.',
  u: '..... ..... #...# #...# #...# #..## .##.#', v: '..... ..... #...# #...# #...# .#.#. ..#..',
  w: '..... ..... #...# #...# #.#.# #.#.# .#.#.', x: '..... ..... #...# .#.#. ..#.. .#.#. #...#',
  y: '..... ..... #...# #...# #...# .#### ....# .###.', z: '..... ..... ##### ...#. ..#.. .#... #####',
};
// Character -> one 5-bit number per row (the leftmost pixel is 0x10).
const glyphs = new Map(Object.entries(kGlyphRows).map(([ch, rows]) => [
  ch, rows.split(' ').filter(Boolean).map((row) => parseInt(row.replace(/\./g, '0').replace(/#/g, '1'), 2)),
]));
const kTextScale = 2;
const kAdvance = 6;  // font pixels from one character to the next

function textWidth(text, scale = kTextScale) {
  return text.length === 0 ? 0 : (text.length * kAdvance - 1) * scale;
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
  // `text` with its top-left corner at (x, y); returns where the next character would go.
  text(x, y, text, colour, scale = kTextScale) {
    for (const ch of text) {
      const rows = glyphs.get(ch) ?? glyphs.get('?');
      rows.forEach((bits, row) => {
        for (let col = 0; col < 5; col++) {
          if (bits & (0x10 >> col)) this.fill(x + col * scale, y + row * scale, scale, scale, colour);
        }
      });
      x += kAdvance * scale;
    }
    return x;
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
  turn: [235, 150, 20],
  text: [40, 44, 52],
  quiet: [110, 116, 128],
};

const kMargin = 12;
const kLegendHeight = 32;
const kHeaderHeight = 32;
const kAxisHeight = 36;
const kLineHeight = 8 * kTextScale;  // seven rows and a descender
const kTickHeight = 14;

// The seconds between labelled ticks: the shortest of 1, 2, 5, 10, 20, 30 s,
// 1, 2, 5, 10 min whose labels do not run into each other.
function tickStep(seconds, pxPerSecond) {
  const room = textWidth(`${Math.ceil(seconds)} s`) + 16;
  for (const step of [1, 2, 5, 10, 20, 30, 60, 120, 300, 600]) if (step * pxPerSecond >= room) return step;
  return Math.max(600, Math.ceil(seconds));
}

// Where everything goes; the tests read it instead of repeating the numbers.
function waveformLayout(laneCount, { seconds, width = 1200, laneHeight = 180 } = {}) {
  const plot = { x: kMargin, width: width - 2 * kMargin };
  const lanes = [];
  let y = kLegendHeight;
  for (let i = 0; i < Math.max(1, laneCount); i++) {
    lanes.push({ header: y, top: y + kHeaderHeight, height: laneHeight });
    y += kHeaderHeight + laneHeight;
  }
  return { width, height: y + kAxisHeight, legend: 0, plot, lanes, axis: y, pxPerSecond: plot.width / seconds };
}

// The device id, the sample rate and the channels in `room` pixels: a long
// id is cut short rather than the format.
function laneLabel(lane, room) {
  const format = `   ${lane.sampleRate} Hz, ${lane.channels} channel${lane.channels === 1 ? '' : 's'}`;
  const id = lane.deviceId ?? 'default device';
  const fits = Math.floor((room - textWidth(format)) / (kAdvance * kTextScale));
  return (id.length <= fits ? id : `${id.slice(0, Math.max(0, fits - 3))}...`) + format;
}

function drawLegend(canvas, layout, { threshold, turns }) {
  const y = layout.legend + 8;
  let x = layout.plot.x;
  const item = (swatch, label) => {
    swatch(x, y);
    x = canvas.text(x + 30, y, label, colours.text) + 36;
  };
  item((sx, sy) => canvas.fill(sx + 10, sy - 2, 3, kLineHeight + 2, colours.speechEnded), 'speech ended (+ delay after the phrase end)');
  item((sx, sy) => canvas.fill(sx + 10, sy - 2, 3, 10, colours.phraseEnd), 'phrase end heard');
  if (turns) {
    item((sx, sy) => {
      canvas.fill(sx, sy + 4, 22, 4, colours.turn);
      canvas.fill(sx, sy - 2, 2, kLineHeight + 2, colours.turn);
    }, 'turn (start to last voice)');
  }
  if (threshold > 0) {
    item((sx, sy) => {
      canvas.fill(sx, sy + 3, 22, 1, colours.threshold);
      canvas.fill(sx, sy + 9, 22, 1, colours.threshold);
    }, 'detector threshold');
  }
}

function drawAxis(canvas, layout, seconds) {
  const { plot, pxPerSecond } = layout;
  const step = tickStep(seconds, pxPerSecond);
  canvas.fill(plot.x, layout.axis, plot.width, 1, colours.quiet);
  for (let s = 0; s <= seconds + 1e-9; s += step) {
    const x = plot.x + Math.round(s * pxPerSecond);
    canvas.fill(x, layout.axis, 1, 6, colours.quiet);
    const label = `${s} s`;
    const left = Math.max(0, Math.min(layout.width - textWidth(label), x - Math.floor(textWidth(label) / 2)));
    canvas.text(left, layout.axis + 10, label, colours.text);
  }
  return step;
}

// lanes: [{ name, deviceId, samples: Int16Array (interleaved), channels,
//           sampleRate, speechEnded: [seconds], phraseEnds: [seconds],
//           turns: [{ start, end }] in seconds (optional) }]
// Each turn is a bar along the lane's foot from its start to its last voice,
// with a tick where it started.
// All lanes share one time axis of `seconds` (default: the longest lane).
// `threshold` is drawn as a pair of faint lines (a fraction of full scale).
function waveformPng(lanes, { seconds, width = 1200, laneHeight = 180, threshold = 0 } = {}) {
  const lengthOf = (lane) => Math.floor(lane.samples.length / lane.channels) / lane.sampleRate;
  seconds = seconds ?? Math.max(...lanes.map(lengthOf), 1);
  const layout = waveformLayout(lanes.length, { seconds, width, laneHeight });
  const { plot, pxPerSecond } = layout;
  const canvas = new Canvas(width, layout.height, colours.background);
  const xAt = (t) => plot.x + Math.round(t * pxPerSecond);
  drawLegend(canvas, layout, { threshold, turns: lanes.some((lane) => lane.turns) });
  const step = drawAxis(canvas, layout, seconds);

  lanes.forEach((lane, index) => {
    const { header, top } = layout.lanes[index];
    const mid = top + Math.floor(laneHeight / 2);
    const half = Math.floor(laneHeight / 2) - 4;
    const after = canvas.text(plot.x, header + 10, lane.name ?? `capture ${index + 1}`, colours.text);
    canvas.text(after + 24, header + 10, laneLabel(lane, plot.x + plot.width - after - 24), colours.quiet);

    canvas.fill(plot.x, top, plot.width, laneHeight, colours.lane);
    for (let s = step; s < seconds; s += step) canvas.fill(xAt(s), top, 1, laneHeight, colours.grid);
    const frames = Math.floor(lane.samples.length / lane.channels);
    // Only as far as the capture goes: past its end there is nothing to compare.
    const end = Math.min(plot.width, Math.round((frames / lane.sampleRate) * pxPerSecond));
    if (threshold > 0) {
      const dy = Math.max(1, Math.round(threshold * half));
      canvas.fill(plot.x, mid - dy, end, 1, colours.threshold);
      canvas.fill(plot.x, mid + dy, end, 1, colours.threshold);
    }
    const framesPerPx = lane.sampleRate / pxPerSecond;
    for (let x = 0; x < plot.width; x++) {
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
      canvas.fill(plot.x + x, y0, 1, Math.max(1, y1 - y0 + 1), colours.wave);
    }
    for (const t of lane.phraseEnds) canvas.fill(xAt(t) - 1, top, 3, kTickHeight, colours.phraseEnd);
    for (const { start, end: last } of lane.turns ?? []) {
      const from = xAt(start);
      canvas.fill(from, top + laneHeight - 8, Math.max(2, xAt(last) - from), 5, colours.turn);
      canvas.fill(from, top + laneHeight - kTickHeight - 4, 2, kTickHeight + 4, colours.turn);
    }

    // Each red line is labelled with its delay after the latest phrase end
    // since the previous red line; a speech end with none before it (one in
    // the middle of a phrase) gets no label.
    const ends = [...lane.speechEnded].sort((a, b) => a - b);
    let labelRight = -Infinity;
    let row = 0;
    for (const t of ends) canvas.fill(xAt(t) - 1, top, 3, laneHeight, colours.speechEnded);
    ends.forEach((t, i) => {
      const x = xAt(t);
      const since = i > 0 ? ends[i - 1] : -Infinity;
      const heard = lane.phraseEnds.filter((p) => p > since && p <= t);
      if (heard.length === 0) return;
      const label = `+${Math.round((t - Math.max(...heard)) * 1000)} ms`;
      const w = textWidth(label);
      let left = x + 6;
      if (left + w + 3 > plot.x + plot.width) left = x - 6 - w;
      // Below the band of the green ticks, a row lower when it would run into the last label.
      row = left - 3 < labelRight ? (row + 1) % 3 : 0;
      const y = top + kTickHeight + 6 + row * (kLineHeight + 4);
      canvas.fill(left - 3, y - 2, w + 6, kLineHeight + 2, colours.lane);
      canvas.text(left, y, label, colours.speechEnded);
      labelRight = Math.max(labelRight, left + w + 3);
    });
  });
  return canvas.png();
}

module.exports = { crc32, encodePng, waveformPng, waveformLayout, textWidth, Canvas, colours, glyphRows: kGlyphRows };
