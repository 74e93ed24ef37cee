#!/usr/bin/env node
'use strict';
// `npm test`: the Node tests against the built addons, then the type-check of
// index.d.ts. The production addon is the one the package loads (a prebuild,
// or the build of `npm install`); the test addon
// (the module on a fake audio host) is built here on first use. Either may
// be given instead through PARLANTO_AUDIO_ADDON / PARLANTO_AUDIO_TEST_ADDON.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build');
const env = { ...process.env };
// Run from inside another `node --test` (a test of this package), the
// inherited marker would make the runner below skip every file.
delete env.NODE_TEST_CONTEXT;

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', env, ...options });
  if (result.error) throw new Error(`could not run ${command}: ${result.error.message}`);
  return result.status;
}

function must(status, what) {
  if (status !== 0) {
    console.error(`parlanto-audio: ${what} failed`);
    process.exit(status || 1);
  }
}

const addon = env.PARLANTO_AUDIO_ADDON || require('../platforms.js').findBinary(root);
if (!addon || !fs.existsSync(addon)) {
  console.error('parlanto-audio: no addon for this platform; run npm install first');
  process.exit(1);
}
env.PARLANTO_AUDIO_ADDON = path.resolve(addon);
if (!env.PARLANTO_AUDIO_TEST_ADDON) {
  env.PARLANTO_AUDIO_TEST_ADDON = path.join(buildDir, 'Release', 'parlanto_audio_test.node');
  must(run('cmake', ['-S', root, '-B', buildDir, '-DPARLANTO_BUILD_TESTS=ON']), 'configuring the test build');
  const jobs = String(Math.max(1, Math.min(os.cpus().length, 4)));
  must(run('cmake', ['--build', buildDir, '--target', 'parlanto_audio_test', '-j', jobs]), 'building the test addon');
}

const testDir = path.join(root, 'test', 'node');
// The tests of the PulseAudio backend (pulse/) run on the private server of the
// repository's tools/pulse-rig; a copy of the package alone skips them.
const rig = path.resolve(root, '..', '..', '..', '..', 'tools', 'pulse-rig', 'rig.js');
const testsIn = (folder) => fs.readdirSync(path.join(testDir, folder)).filter((f) => f.endsWith('.test.js')).sort()
  .map((f) => path.join(testDir, folder, f));
const files = testsIn('fake');
if (fs.existsSync(rig)) files.push(...testsIn('pulse'));
else console.log(`parlanto-audio: the real-server tests (test/node/pulse/) skipped (need ${path.relative(root, rig)})`);
let failed = run(process.execPath, ['--test', ...files]) !== 0;

const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
if (fs.existsSync(tsc)) {
  const typed = run(process.execPath, [tsc, '--noEmit', '-p', path.join(root, 'test', 'types')]) === 0;
  console.log(`parlanto-audio: type-check of index.d.ts ${typed ? 'passed' : 'failed'}`);
  failed = failed || !typed;
} else {
  console.log('parlanto-audio: typescript is not installed (dev dependencies); type-check skipped');
}
process.exit(failed ? 1 : 0);
