'use strict';
// Long lines each get their one response: the field scanner and the
// heuristics stay linear and never recurse per byte. Every shape runs at
// 1 MiB; the two that reach the most code run at 64 MiB as well.
const assert = require('node:assert/strict');
const { runSidecar } = require('./sidecar_process');

const sidecar = process.argv[2];

for (const size of [1 << 10, 1 << 20, 1 << 26]) {
  const words = 'Kafka consumer lag and retries '.repeat(Math.ceil(size / 31)).slice(0, size);
  const pairs = Math.ceil(size / 2);
  const question = 'K' + words.slice(1).trimEnd();
  const shapes = [
    {
      line: `{"id":"route","type":"tool_call","input":"${words}"}`,
      check: (r) => assert.equal(r.output,
          `<start_function_call>call:route_to_cloud_llm{question:<escape>${question}<escape>,` +
          'topic:<escape>kafka<escape>,answer_type:<escape>technical_interview<escape>,' +
          'context_keys:[]}<end_function_call>'),
    },
    {
      line: `{"type":"status","id":"${'\\"'.repeat(pairs)}`,
      check: (r) => assert.equal(r.id, '"'.repeat(pairs - 1) + '\\'),
    },
    {
      line: `{"id":"c","type":"tool_call","tool":"classify_interview_turn","input":"${words}?"}`,
      check: (r) => assert.ok(r.output.includes(',intent_type:<escape>direct_question<escape>,')),
      upTo: 1 << 20,
    },
    {
      line: `{"id":"${'\\u00e9'.repeat(size / 8)}","type":"status"}`,
      check: (r) => assert.equal(r.id, '\u00e9'.repeat(size / 8)),
      upTo: 1 << 20,
    },
    {
      line: '"id"'.repeat(size / 4),
      check: (r) => assert.equal(r.error, 'missing id'),
      upTo: 1 << 20,
    },
  ].filter((shape) => size <= (shape.upTo ?? Infinity));

  const started = process.hrtime.bigint();
  const responses = runSidecar(sidecar, shapes.map((shape) => Buffer.from(shape.line)));
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  shapes.forEach((shape, i) => shape.check(responses[i]));
  console.log(`${shapes.length} lines of ${size} bytes: ${ms.toFixed(0)} ms`);
}
