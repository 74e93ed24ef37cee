'use strict';
// Every response to a large generated corpus is one line of valid JSON, and
// an id written with any JSON escapes comes back as JSON itself reads it.
const assert = require('node:assert/strict');
const { runSidecar } = require('./sidecar_process');

let seed = 0x5eed1e;
function random(n) {
  seed = (seed + 0x6d2b79f5) | 0;
  let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
  t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
  return ((t ^ (t >>> 14)) >>> 0) % n;
}
const pick = (list) => list[random(list.length)];

const CHARS = [
  'a', 'Z', ' ', '?', ':', ',', '{', '}', '"', '\\', '/', '\u0000', '\u0001', '\b', '\t', '\n',
  '\u000b', '\f', '\r', '\u001f', '\u007f', '\u00e9', '\u20ac', '\u2028', '\u2029', '\ud83d',
  '\ude00', '\ud83d\ude00', 'kafka', 'save', 'okay', 'then ', '<escape>', '"id":"x"',
];

function randomText(maxPieces) {
  let text = '';
  for (let n = random(maxPieces + 1); n > 0; --n) text += pick(CHARS);
  return text;
}

// A JSON string literal for `text`, each character written in one of the
// ways JSON allows, chosen at random.
function literal(text) {
  const SHORT = { '"': '\\"', '\\': '\\\\', '/': '\\/', '\b': '\\b', '\f': '\\f', '\n': '\\n',
    '\r': '\\r', '\t': '\\t' };
  let out = '"';
  for (const unit of text.split('')) {
    const code = unit.charCodeAt(0);
    const mustEscape = code < 0x20 || unit === '"' || unit === '\\' ||
      (code >= 0xd800 && code <= 0xdfff);
    const way = random(3);
    if (way === 0 && SHORT[unit]) {
      out += SHORT[unit];
    } else if (way === 1 || mustEscape) {
      const hex = code.toString(16).padStart(4, '0');
      out += '\\u' + (random(2) ? hex.toUpperCase() : hex);
    } else {
      out += unit;
    }
  }
  return out + '"';
}

const GARBAGE = ['"', '\\', '"id":"', '"id" : "', '"type":"tool_call"', '"input":"', '\\u', 'd83d',
  '\\"', ':', '\r', '\u0000', '\u00ff', '\u00c3', '\u00e2\u0080\u00a8', 'classify_interview_turn'];

const lines = [];
const expectations = [];
for (let i = 0; i < 30000; ++i) {
  if (random(4) === 0) {
    // Raw bytes, invalid UTF-8 included (latin1 maps each char to one byte).
    let bytes = '';
    for (let n = random(12); n > 0; --n) {
      bytes += random(3) ? pick(GARBAGE) : String.fromCharCode(random(256));
    }
    lines.push(Buffer.from(bytes.replaceAll('\n', ''), 'latin1'));
    expectations.push(null);
    continue;
  }
  const id = randomText(6);
  const type = pick(['status', 'tool_call', 'tool_call', 'other']);
  const input = randomText(10);
  const tool = random(4) === 0 ? ',"tool":"classify_interview_turn"' : '';
  const [idLiteral, inputLiteral] = [literal(id), literal(input)];
  lines.push(Buffer.from(
      `{"id":${idLiteral},"type":"${type}","input":${inputLiteral}${tool}}`, 'utf8'));
  expectations.push({
    id: JSON.parse(idLiteral).toWellFormed(),
    type,
    input: JSON.parse(inputLiteral).toWellFormed(),
    classify: tool !== '',
  });
}

const responses = runSidecar(process.argv[2], lines, { finalNewline: false });
responses.forEach((response, i) => {
  const expected = expectations[i];
  if (!expected) return;
  assert.equal(response.id, expected.id, `request ${i}: ${lines[i]}`);
  if (expected.id === '') {
    assert.equal(response.error, 'missing id');
  } else if (expected.type === 'status') {
    assert.equal(response.output, 'stub');
  } else if (expected.type === 'other') {
    assert.equal(response.error, 'unsupported request type');
  } else if (expected.input === '') {
    assert.equal(response.error, 'missing input');
  } else {
    assert.match(response.output, /^<start_function_call>call:\w+\{.*\}<end_function_call>$/s);
    assert.ok(Number.isSafeInteger(response.inferenceMs) && response.inferenceMs >= 0);
    if (expected.classify) {
      const text = `call:classify_interview_turn{text:<escape>${expected.input}<escape>,`;
      assert.ok(response.output.includes(text), `request ${i}: ${lines[i]}`);
    }
  }
});
console.log(`${responses.length} responses, all valid JSON`);
