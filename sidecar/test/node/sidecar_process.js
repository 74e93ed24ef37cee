'use strict';
// Runs the sidecar once over the given request lines and checks what every
// caller of it needs: exit status 0, nothing on standard error, and exactly
// one newline-terminated response per request line, each a JSON object of
// one of the two shapes.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');

const SUCCESS_KEYS = ['id', 'ok', 'output', 'inferenceMs'];
const ERROR_KEYS = ['id', 'ok', 'error'];

function runSidecar(sidecar, lines, { finalNewline = true } = {}) {
  const parts = [];
  lines.forEach((line, i) => {
    parts.push(line);
    if (i < lines.length - 1 || finalNewline) parts.push(Buffer.from('\n'));
  });
  const result = spawnSync(sidecar, [], {
    input: Buffer.concat(parts),
    maxBuffer: 2 ** 31,
  });
  assert.equal(result.error, undefined);
  assert.equal(result.stderr.length, 0, `standard error: ${result.stderr}`);
  assert.equal(result.status, 0);

  const text = result.stdout.toString('utf8');
  assert.ok(lines.length === 0 || text.endsWith('\n'), 'last response lacks its newline');
  const rows = text.split('\n').slice(0, -1);
  assert.equal(rows.length, lines.length, 'one response per request line');
  return rows.map((row, i) => {
    // Node's readline also breaks lines at these.
    assert.ok(!/[\r\u2028\u2029]/.test(row), `response ${i} would split in readline`);
    const response = JSON.parse(row);
    assert.deepEqual(Object.keys(response), response.ok ? SUCCESS_KEYS : ERROR_KEYS);
    return response;
  });
}

module.exports = { runSidecar };
