'use strict';
// Runs a scenario in a child process, for tests that would disturb the test
// runner (uncaught exceptions, workers, the event loop's end). The child sees
// `probe` and an `out` object that it prints as JSON once the event loop is
// empty, so everything still queued has been delivered by then.
const { spawnSync } = require('node:child_process');

const prelude = `'use strict';
const { probe } = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
const out = {};
process.on('exit', () => process.stdout.write(JSON.stringify(out)));
`;

function runChild(body) {
  const child = spawnSync(process.execPath, ['-e', prelude + body], {
    encoding: 'utf8',
    env: process.env,
    timeout: 60_000,
  });
  let out;
  try { out = JSON.parse(child.stdout); } catch { out = undefined; }
  return { status: child.status, signal: child.signal, stderr: child.stderr, out };
}

module.exports = { runChild };
