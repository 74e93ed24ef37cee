#!/usr/bin/env node
'use strict';
// Builds build/Release/parlanto_audio.node from this package's sources with
// CMake, in a temporary folder that is removed afterwards, so the package
// keeps no build files. The addon uses Node-API only, so one build serves
// every Node.js and Electron version that offers Node-API 8.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function fail(message) {
  console.error(`parlanto-audio: ${message}`);
  return 1;
}

// node_api.h next to the running Node.js (nvm and tarball installs keep it
// there); CMake also looks in the system's include folders.
function nodeApiHeaders(root) {
  const candidates = [
    path.join(path.dirname(process.execPath), '..', 'include', 'node'),
    path.join(root, 'node_modules', 'node-api-headers', 'include'),
  ];
  return candidates.find((dir) => fs.existsSync(path.join(dir, 'node_api.h')));
}

function buildFromSource(root) {
  if (spawnSync('cmake', ['--version'], { stdio: 'ignore' }).status !== 0) {
    return fail('building from source needs CMake 3.20 or newer, a C++20 compiler, the PulseAudio headers and ' +
                'those of the echo canceller and its resampler (Debian and Ubuntu: apt-get install cmake g++ ' +
                'libpulse-dev libwebrtc-audio-processing-dev libspeexdsp-dev)');
  }
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-audio-build-'));
  try {
    const run = (args) => {
      const result = spawnSync('cmake', args, { cwd: root, stdio: 'inherit' });
      return result.status === 0 ? null : `cmake ${args.join(' ')} failed with status ${result.status}`;
    };
    const configure = ['-S', root, '-B', scratch, '-DCMAKE_BUILD_TYPE=Release'];
    const headers = nodeApiHeaders(root);
    if (headers) configure.push(`-DNODE_API_INCLUDE_DIR=${headers}`);
    const jobs = String(Math.max(1, Math.min(os.cpus().length, 4)));
    const failed = run(configure) || run(['--build', scratch, '--target', 'parlanto_audio', '-j', jobs]);
    if (failed) return fail(failed);
    const built = path.join(scratch, 'Release', 'parlanto_audio.node');
    if (!fs.existsSync(built)) return fail(`the build did not produce ${built}`);
    const addon = path.join(root, 'build', 'Release', 'parlanto_audio.node');
    fs.mkdirSync(path.dirname(addon), { recursive: true });
    fs.copyFileSync(built, addon);
    console.log(`parlanto-audio: built ${path.relative(root, addon)}`);
    return 0;
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

module.exports = { buildFromSource };

if (require.main === module) process.exitCode = buildFromSource(path.resolve(__dirname, '..'));
