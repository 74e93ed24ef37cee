'use strict';
// The package as its developers meet it: a clean copy of this folder (no
// build, no prebuilt binary, no node_modules) takes `npm install`, which builds
// the addon from source and fetches the dependencies from the registry, and
// then passes `npm test` (the Node tests and the type-check of index.d.ts).
// Slow: it builds twice.
// Without the repository's cmake/ folder the standalone configure defines its
// own warning flags, as it does for a user.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..', '..');
const skipped = new Set(['build', 'node_modules', 'prebuilds']);

function npm(args, cwd, env) {
  const result = spawnSync('npm', args, { cwd, env, encoding: 'utf8', timeout: 15 * 60 * 1000 });
  return { status: result.status, output: `${result.stdout}\n${result.stderr}\n${result.error ? result.error.message : ''}` };
}

test('a clean copy without a prebuilt binary builds the addon at npm install and passes npm test', () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-audio-package-'));
  // The repository's layout, minus everything but the package, the audio rig
  // its backend tests run on and the corpus its turn tests read.
  const copy = path.join(scratch, 'apps', 'desktop', 'native', 'parlanto-audio');
  try {
    fs.cpSync(packageDir, copy, { recursive: true, filter: (src) => !skipped.has(path.basename(src)) || path.dirname(src) !== packageDir });
    for (const tool of ['pulse-rig', 'turn-corpus']) {
      fs.cpSync(path.join(packageDir, '..', '..', '..', '..', 'tools', tool), path.join(scratch, 'tools', tool), { recursive: true });
    }
    assert.ok(!['build', 'node_modules', 'prebuilds'].some((d) => fs.existsSync(path.join(copy, d))));
    // Nothing of this checkout may leak in: the copy finds its addons itself.
    const env = { ...process.env, npm_config_audit: 'false', npm_config_fund: 'false', npm_config_update_notifier: 'false' };
    delete env.PARLANTO_AUDIO_ADDON;
    delete env.PARLANTO_AUDIO_TEST_ADDON;

    const install = npm(['install'], copy, env);
    assert.equal(install.status, 0, install.output);
    assert.ok(fs.existsSync(path.join(copy, 'build', 'Release', 'parlanto_audio.node')), install.output);
    assert.ok(fs.existsSync(path.join(copy, 'node_modules', 'typescript')), install.output);

    const loaded = spawnSync(process.execPath, ['-e', 'const m = require("."); console.log(Object.keys(m).join(","))'],
                             { cwd: copy, env, encoding: 'utf8' });
    assert.equal(loaded.stdout.trim(), 'listInputDevices,listOutputDevices,ParlantoMicrophone,ParlantoSystemLoopback', loaded.stderr);
    // The typings declare exactly the values the module exports.
    const declared = [...fs.readFileSync(path.join(copy, 'index.d.ts'), 'utf8')
      .matchAll(/^export (?:function|class) (\w+)/gm)].map((m) => m[1]);
    assert.deepEqual(declared.sort(), loaded.stdout.trim().split(',').sort());

    const tested = npm(['test'], copy, env);
    assert.equal(tested.status, 0, tested.output);
    assert.match(tested.output, /^# pass [1-9]\d*$/m, tested.output);
    assert.match(tested.output, /^# fail 0$/m);
    assert.match(tested.output, /type-check of index\.d\.ts passed/);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});
