'use strict';
// `cmake --install` lays the module out as an installed package: copied alone
// into a fresh app's node_modules (no loader dependency, no checkout beside
// it), both entry points and the capture subpath load and name the same exports.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const buildDir = process.env.PARLANTO_BUILD_DIR;

test('the installed package loads from a fresh app through require and import', { skip: !buildDir && 'PARLANTO_BUILD_DIR is not set' }, () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-audio-install-'));
  try {
    const prefix = path.join(scratch, 'prefix');
    const install = spawnSync(process.env.CMAKE_COMMAND || 'cmake', ['--install', buildDir, '--prefix', prefix], { encoding: 'utf8' });
    assert.equal(install.status, 0, install.stdout + install.stderr);
    const libdir = fs.readdirSync(prefix).find((name) => fs.existsSync(path.join(prefix, name, 'node_modules', 'parlanto-audio')));
    assert.ok(libdir, `no node_modules/parlanto-audio under ${prefix}`);

    const app = path.join(scratch, 'app');
    fs.mkdirSync(path.join(app, 'node_modules'), { recursive: true });
    fs.cpSync(path.join(prefix, libdir, 'node_modules', 'parlanto-audio'), path.join(app, 'node_modules', 'parlanto-audio'), { recursive: true });
    fs.writeFileSync(path.join(app, 'check.cjs'), `
      const audio = require('parlanto-audio');
      const capture = require('parlanto-audio/capture');
      console.log(JSON.stringify({ cjs: Object.keys(audio).sort(), capture: Object.keys(capture).sort() }));`);
    fs.writeFileSync(path.join(app, 'check.mjs'), `
      import * as audio from 'parlanto-audio';
      import * as capture from 'parlanto-audio/capture';
      console.log(JSON.stringify({ esm: Object.keys(audio).filter((k) => k !== 'default').sort(),
                                   capture: Object.keys(capture).filter((k) => k !== 'default').sort() }));`);
    const env = { ...process.env };
    delete env.PARLANTO_AUDIO_ADDON;
    delete env.NODE_PATH;
    const run = (file) => {
      const result = spawnSync(process.execPath, [file], { cwd: app, env, encoding: 'utf8' });
      assert.equal(result.status, 0, result.stderr);
      return JSON.parse(result.stdout);
    };
    const cjs = run('check.cjs');
    const esm = run('check.mjs');
    assert.deepEqual(cjs.cjs, ['ParlantoMicrophone', 'ParlantoSystemLoopback', 'listInputDevices', 'listOutputDevices']);
    assert.deepEqual(esm.esm, cjs.cjs);
    assert.ok(cjs.capture.includes('openCapture'), cjs.capture.join());
    assert.deepEqual(esm.capture, cjs.capture);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});
