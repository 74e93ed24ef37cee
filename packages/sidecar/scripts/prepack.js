#!/usr/bin/env node
'use strict';
// `npm pack` hook: builds the prebuilt program (scripts/prebuild.sh of the
// repository) and copies the program's sources into src/ for building from
// source where nothing is prebuilt.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const repo = path.resolve(root, '..', '..');
const built = spawnSync('bash', [path.join(repo, 'scripts', 'prebuild.sh')], { stdio: 'inherit' });
if (built.status !== 0) process.exit(built.status || 1);

const from = path.join(repo, 'sidecar', 'src');
const to = path.join(root, 'src');
fs.rmSync(to, { recursive: true, force: true });
fs.mkdirSync(to);
for (const file of fs.readdirSync(from).filter((f) => /\.(cc|h)$/.test(f))) {
  fs.copyFileSync(path.join(from, file), path.join(to, file));
}
