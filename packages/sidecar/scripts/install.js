#!/usr/bin/env node
'use strict';
// `npm install` hook. Never compiles where a program is prebuilt for this
// platform. Builds build/sidecar from src/ with CMake when asked
// (PARLANTO_SIDECAR_BUILD_FROM_SOURCE=1 npm rebuild parlanto-sidecar) or
// where nothing is prebuilt; only a build that was asked for can fail the
// install (createSidecar() otherwise says what is missing). The build runs in
// a temporary folder, so the package keeps no build files.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const executable = process.platform === 'win32' ? 'sidecar.exe' : 'sidecar';
const asked = /^(1|true)$/i.test(process.env.npm_config_build_from_source || '') ||
              /^(1|true)$/i.test(process.env.PARLANTO_SIDECAR_BUILD_FROM_SOURCE || '');

function build() {
  if (spawnSync('cmake', ['--version'], { stdio: 'ignore' }).status !== 0) {
    return 'building from source needs CMake 3.16 or newer and a C++20 compiler';
  }
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-sidecar-build-'));
  try {
    for (const args of [['-S', root, '-B', scratch, '-DCMAKE_BUILD_TYPE=Release'],
                        ['--build', scratch, '--config', 'Release', '-j', String(Math.max(1, Math.min(os.cpus().length, 4)))]]) {
      const result = spawnSync('cmake', args, { cwd: root, stdio: 'inherit' });
      if (result.status !== 0) return `cmake ${args.join(' ')} failed with status ${result.status}`;
    }
    const made = [path.join(scratch, 'bin', executable), path.join(scratch, 'bin', 'Release', executable)]
      .find((file) => fs.existsSync(file));
    if (!made) return 'the build made no program';
    const target = path.join(root, 'build', executable);
    fs.mkdirSync(path.dirname(target), { recursive: true });
    fs.copyFileSync(made, target);
    fs.chmodSync(target, 0o755);
    console.log(`parlanto-sidecar: built ${path.relative(root, target)}`);
    return null;
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

function main() {
  const prebuilt = path.join(root, 'prebuilds', `${process.platform}-${process.arch}`, executable);
  if (!asked && fs.existsSync(prebuilt)) return 0;
  const failure = build();
  if (!failure) return 0;
  console.error(`parlanto-sidecar: ${failure}`);
  if (asked) return 1;
  console.warn('parlanto-sidecar: installed without a program for this platform; ' +
               'createSidecar() throws until one is built (or is given as `command`).');
  return 0;
}

process.exitCode = main();
