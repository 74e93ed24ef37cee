'use strict';
// The module's Node tests on the fake host (test/node/fake/), run by node.exe
// under Wine against the Windows build of the test addon, in one Wine process.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { runNode } = require('./wine.js');

test('the fake-host tests pass in node.exe under Wine', async (t) => {
  const root = path.resolve(__dirname, '..', '..');
  const files = fs.readdirSync(path.join(root, 'test', 'node', 'fake'))
    .filter((name) => name.endsWith('.test.js'))
    .map((name) => path.join('test', 'node', 'fake', name));
  assert.ok(files.length > 0);
  const report = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-report-')), 'report.txt');
  const run = await runNode(['--test', '--test-reporter=spec', `--test-reporter-destination=${report}`, ...files],
    { cwd: root, env: { PARLANTO_AUDIO_TEST_ADDON: process.env.PARLANTO_AUDIO_TEST_ADDON,
      PARLANTO_AUDIO_ECHO_ENGINE: process.env.PARLANTO_AUDIO_ECHO_ENGINE } });
  const text = fs.existsSync(report) ? fs.readFileSync(report, 'utf8') : '';
  fs.rmSync(path.dirname(report), { recursive: true, force: true });
  const summary = text.split('\n').filter((line) => /^ℹ (tests|pass|fail|duration_ms)/.test(line));
  t.diagnostic(summary.join('; '));
  assert.equal(run.code, 0, `node.exe --test exited ${run.code}\n${text}\n${run.stdout}\n${run.stderr}`);
  assert.match(text, /ℹ fail 0/, `${text}\n${run.stdout}\n${run.stderr}`);
  assert.doesNotMatch(text, /ℹ pass 0\b/);
});

// An application that embeds Node under its own name (Electron's) exports
// Node-API from its executable: the module must bind to that, not look for a
// node.exe. A copy of node.exe under another name stands in for it.
test('the module loads and captures in a host executable not named node.exe', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-host-'));
  try {
    const host = path.join(dir, 'interview-app.exe');
    fs.copyFileSync(process.env.PARLANTO_WINDOWS_NODE, host);
    const result = path.join(dir, 'result.json');
    const script = `
      const fs = require('node:fs');
      const { fake, ParlantoMicrophone } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
      fake.reset({ devices: [{ key: 'mic', input: { default: { channels: 1, sampleRate: 16000, format: 'F32' }, ranges: [] } }], defaultInput: 'mic' });
      const mic = new ParlantoMicrophone();
      const chunks = [];
      mic.start((error, chunk) => chunks.push(error ? String(error) : chunk.length));
      fake.feed(undefined, new Float32Array(160).fill(0.5), { frames: 160 });
      setTimeout(() => {
        mic.stop();
        fs.writeFileSync(${JSON.stringify(result)}, JSON.stringify({ exe: process.execPath, chunks }));
      }, 200);`;
    const run = await runNode(['-e', script], { node: host, env: { PARLANTO_AUDIO_TEST_ADDON: process.env.PARLANTO_AUDIO_TEST_ADDON } });
    assert.equal(run.code, 0, `${run.stdout}\n${run.stderr}`);
    const report = JSON.parse(fs.readFileSync(result, 'utf8'));
    assert.match(report.exe, /interview-app\.exe$/);
    assert.deepEqual(report.chunks, [320]);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
