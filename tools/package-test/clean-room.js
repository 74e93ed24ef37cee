'use strict';
// A fresh app folder for installing a packed package the way an app developer
// does: PATH holds only node, npm and sh (no compiler, no cmake), nothing of
// this checkout leaks in through the environment, and npm prefers its cache.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const fakePlatform = path.join(__dirname, 'fake-platform.js');

function which(name) {
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    const file = path.join(dir, name);
    if (fs.existsSync(file)) return fs.realpathSync(file);
  }
  throw new Error(`${name} is not on PATH`);
}

class CleanRoom {
  constructor(prefix) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
    this.bin = path.join(this.dir, 'bin');
    fs.mkdirSync(this.bin);
    fs.symlinkSync(process.execPath, path.join(this.bin, 'node'));
    fs.symlinkSync(which('npm'), path.join(this.bin, 'npm'));
    fs.symlinkSync('/bin/sh', path.join(this.bin, 'sh'));
    this.env = { PATH: this.bin, HOME: process.env.HOME || os.homedir(), TMPDIR: os.tmpdir(),
                 npm_config_audit: 'false', npm_config_fund: 'false', npm_config_update_notifier: 'false',
                 npm_config_prefer_offline: 'true' };
  }

  // An empty app folder with a package.json.
  app(name, fields = {}) {
    const dir = path.join(this.dir, name);
    fs.mkdirSync(dir);
    fs.writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name, private: true, ...fields }, null, 2));
    return dir;
  }

  // `extra` adds to the room's environment; `platform` ("darwin-arm64")
  // makes every Node process of the command believe it runs there.
  run(file, args, cwd, { extra = {}, platform, timeout = 10 * 60 * 1000 } = {}) {
    const env = { ...this.env, ...extra };
    if (platform) {
      env.PARLANTO_FAKE_PLATFORM = platform;
      env.NODE_OPTIONS = `--require ${fakePlatform}`;
    }
    const result = spawnSync(file, args, { cwd, env, encoding: 'utf8', timeout });
    return { status: result.status, stdout: result.stdout, stderr: result.stderr,
             output: `${result.stdout}\n${result.stderr}\n${result.error ? result.error.message : ''}` };
  }

  npm(args, cwd, options) {
    return this.run(path.join(this.bin, 'npm'), args, cwd, options);
  }

  node(args, cwd, options) {
    return this.run(path.join(this.bin, 'node'), args, cwd, options);
  }

  remove() {
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Packs `packageDir` (its prepack builds the prebuilt binaries) into `dest`;
// returns the tarball's path and the files it holds.
function pack(packageDir, dest) {
  const result = spawnSync('npm', ['pack', '--json', '--pack-destination', dest],
                           { cwd: packageDir, encoding: 'utf8', timeout: 20 * 60 * 1000 });
  if (result.status !== 0) throw new Error(`npm pack failed:\n${result.stdout}\n${result.stderr}`);
  const [info] = JSON.parse(result.stdout.slice(result.stdout.indexOf('[')));
  return { tarball: path.join(dest, info.filename), files: info.files.map((f) => f.path).sort(),
           modes: Object.fromEntries(info.files.map((f) => [f.path, f.mode])) };
}

// Every file below `dir`, relative to it.
function listFiles(dir) {
  return fs.readdirSync(dir, { recursive: true, withFileTypes: true })
    .filter((entry) => entry.isFile())
    .map((entry) => path.relative(dir, path.join(entry.parentPath || entry.path, entry.name)))
    .sort();
}

module.exports = { CleanRoom, pack, listFiles };
