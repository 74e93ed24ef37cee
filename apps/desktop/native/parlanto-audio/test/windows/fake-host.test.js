'use strict';
// The module's Node tests on the fake host (test/node/10-79), run by node.exe
// under Wine against the Windows build of the test addon, in one Wine process.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { runNode } = require('./wine.js');

test('the fake-host tests pass in node.exe under Wine', async (t) => {
  const root = path.resolve(__dirname, '..', '..');
  const files = fs.readdirSync(path.join(root, 'test', 'node'))
    .filter((name) => /^[1-7][0-9]-.*\.test\.js$/.test(name))
    .map((name) => path.join('test', 'node', name));
  assert.ok(files.length > 0);
  const report = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-report-')), 'report.txt');
  const run = await runNode(['--test', '--test-reporter=spec', `--test-reporter-destination=${report}`, ...files],
    { cwd: root, env: { PARLANTO_AUDIO_TEST_ADDON: process.env.PARLANTO_AUDIO_TEST_ADDON } });
  const text = fs.existsSync(report) ? fs.readFileSync(report, 'utf8') : '';
  fs.rmSync(path.dirname(report), { recursive: true, force: true });
  const summary = text.split('\n').filter((line) => /^ℹ (tests|pass|fail|duration_ms)/.test(line));
  t.diagnostic(summary.join('; '));
  assert.equal(run.code, 0, `node.exe --test exited ${run.code}\n${text}\n${run.stdout}\n${run.stderr}`);
  assert.match(text, /ℹ fail 0/, `${text}\n${run.stdout}\n${run.stderr}`);
  assert.doesNotMatch(text, /ℹ pass 0\b/);
});
