#!/usr/bin/env node
'use strict';
// `npm install` hook: keeps a prebuilt addon when one is there, else builds
// build/Release/parlanto_audio.node from source with CMake. The addon uses
// Node-API only, so one build serves every Node.js and Electron version that
// offers Node-API 8; `npm rebuild --build-from-source` forces a new build.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build');
const addon = path.join(buildDir, 'Release', 'parlanto_audio.node');
const prebuilt = [path.join(root, 'prebuilds', `${process.platform}-${process.arch}`, 'parlanto_audio.node'), addon];

function fail(message) {
  console.error(`parlanto-audio: ${message}`);
  process.exit(1);
}

function run(command, args) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error) fail(`could not run ${command}: ${result.error.message}`);
  if (result.status !== 0) fail(`${command} ${args.join(' ')} failed with status ${result.status}`);
}

// node_api.h next to the running Node.js (nvm and tarball installs keep it
// there); CMake also looks in the system's include folders.
function nodeApiHeaders() {
  const candidates = [
    path.join(path.dirname(process.execPath), '..', 'include', 'node'),
    path.join(root, 'node_modules', 'node-api-headers', 'include'),
  ];
  return candidates.find((dir) => fs.existsSync(path.join(dir, 'node_api.h')));
}

const fromSource = /^(1|true)$/i.test(process.env.npm_config_build_from_source || '');
const found = prebuilt.find((file) => fs.existsSync(file));
if (found && !fromSource) {
  console.log(`parlanto-audio: using the prebuilt addon ${path.relative(root, found)}`);
  process.exit(0);
}
if (process.platform === 'win32') {
  fail('no prebuilt addon for Windows in this package: it is cross-built on Linux ' +
       '(the repository\'s "windows" CMake preset) into prebuilds/win32-x64/');
}
if (process.platform !== 'linux') {
  fail(`no backend for ${process.platform} yet: the module captures audio on Linux (PulseAudio or PipeWire) only`);
}
if (spawnSync('cmake', ['--version'], { stdio: 'ignore' }).status !== 0) {
  fail('building from source needs CMake 3.20 or newer, a C++20 compiler and the PulseAudio headers ' +
       '(Debian and Ubuntu: apt-get install cmake g++ libpulse-dev)');
}

const configure = ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release'];
const headers = nodeApiHeaders();
if (headers) configure.push(`-DNODE_API_INCLUDE_DIR=${headers}`);
run('cmake', configure);
run('cmake', ['--build', buildDir, '--target', 'parlanto_audio', '-j', String(Math.max(1, Math.min(os.cpus().length, 4)))]);
if (!fs.existsSync(addon)) fail(`the build did not produce ${addon}`);
console.log(`parlanto-audio: built ${path.relative(root, addon)}`);
