'use strict';
// The package as app developers meet it: packed (its prepack builds the
// prebuilt binary), installed into fresh apps whose PATH holds no compiler or
// cmake, and used from CommonJS, an ES module and TypeScript; installed on a
// simulated other system; built from source when asked. Needs the npm
// registry (or npm's cache) and root for the prebuild.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..', '..');
const repo = path.resolve(packageDir, '..', '..', '..', '..');
const { CleanRoom, pack, listFiles } = require(path.join(repo, 'tools', 'package-test', 'clean-room.js'));
const { startRig, writeStereoWav } = require(path.join(repo, 'tools', 'pulse-rig', 'rig.js'));
const typesVsRuntime = path.join(repo, 'tools', 'package-test', 'types-vs-runtime.js');
const { writeExamples, newestGlibc, glibcClaims } = require(path.join(repo, 'tools', 'package-test', 'readme-claims.js'));
const exportsList = 'listInputDevices,listOutputDevices,ParlantoMicrophone,ParlantoSystemLoopback';

const room = new CleanRoom('parlanto-audio-package-');
test.after(() => room.remove());
const packed = pack(packageDir, room.dir);

function ok(result, what) {
  assert.equal(result.status, 0, `${what}:\n${result.output}`);
  return result;
}

test('the tarball holds the sources, the prebuilt binary and nothing of a build', () => {
  const prebuilt = packed.files.filter((f) => f.startsWith('prebuilds/'));
  assert.deepEqual(prebuilt, ['prebuilds/linux-x64/parlanto-audio.napi.glibc.node',
                             'prebuilds/win32-x64/parlanto-audio.napi.node']);
  const stray = packed.files.filter((f) => !/^(prebuilds\/|src\/|scripts\/(install|build-from-source)\.js$|index\.(js|mjs|d\.ts|d\.mts)$|capture\/(index\.(js|mjs|d\.ts|d\.mts)|follow\.js|README\.md)$|platforms\.js$|package\.json$|README\.md$|LICENSE$|CMakeLists\.txt$)/.test(f));
  assert.deepEqual(stray, []);
  assert.ok(!packed.files.some((f) => /fake_host|CMakeCache|\.o$|\.a$/.test(f)));
  // The README names the newest C library version the Linux binary asks for.
  const claims = glibcClaims(path.join(packageDir, 'README.md'));
  assert.deepEqual(claims, [newestGlibc(path.join(packageDir, 'prebuilds', 'linux-x64', 'parlanto-audio.napi.glibc.node'))]);
});

test('an app installs it without a compiler, with or without install scripts, and uses it from CJS, ESM and TypeScript', async (t) => {
  const rigDir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-package-rig-'));
  const rig = await startRig({ dir: rigDir });
  t.after(async () => {
    await rig.stop();
    fs.rmSync(rigDir, { recursive: true, force: true });
  });
  const app = room.app('app');
  ok(room.npm(['install', packed.tarball, 'typescript@~5.9.3', '@types/node@^20.19.0', '@arethetypeswrong/cli@^0.18.5'],
              app), 'npm install');
  const installed = path.join(app, 'node_modules', 'parlanto-audio');
  assert.deepEqual(listFiles(installed), packed.files, 'the installed copy is the tarball, nothing built');

  const quiet = room.app('quiet');
  ok(room.npm(['install', '--ignore-scripts', packed.tarball], quiet), 'npm install --ignore-scripts');
  for (const dir of [app, quiet]) {
    const cjs = ok(room.node(['-e', 'console.log(Object.keys(require("parlanto-audio")).join(","))'], dir), 'require');
    assert.equal(cjs.stdout.trim(), exportsList);
  }
  const layer = ok(room.node(['--input-type=module', '-e', [
    'import { openCapture } from "parlanto-audio/capture";',
    'import { createRequire } from "node:module";',
    'const cjs = createRequire(import.meta.url)("parlanto-audio/capture");',
    'console.log(Object.keys(cjs).join(","), cjs.openCapture === openCapture);',
  ].join('\n')], app), 'the capture layer');
  assert.equal(layer.stdout.trim(), 'openCapture,watchDevices,detectSpeech true');
  const esm = ok(room.node(['--input-type=module', '-e', [
    'import audio, { ParlantoMicrophone, listInputDevices } from "parlanto-audio";',
    'import { createRequire } from "node:module";',
    'const same = createRequire(import.meta.url)("parlanto-audio") === audio;',
    'console.log(same, ParlantoMicrophone === audio.ParlantoMicrophone, typeof listInputDevices);',
  ].join('\n')], app), 'import');
  assert.equal(esm.stdout.trim(), 'true true function');

  // TypeScript, strict, as CommonJS and as an ES module; the emitted code runs.
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, module: 'nodenext', moduleResolution: 'nodenext', target: 'es2022',
                       types: ['node'], outDir: 'out' },
    files: ['cjs.ts', 'esm.mts'],
  }));
  const usage = [
    'const mic = new ParlantoMicrophone(null);',
    'const chunks: Buffer[] = [];',
    'const onData = (error: ParlantoAudioError | null, chunk?: Buffer): void => { if (!error && chunk) chunks.push(chunk); };',
    'void onData; void mic.start; void chunks;',
    'console.log(listOutputDevices().every((d: ParlantoAudioDeviceInfo) => typeof d.id === "string"), mic.channels);',
  ].join('\n');
  fs.writeFileSync(path.join(app, 'cjs.ts'),
    `import { ParlantoMicrophone, listOutputDevices, ParlantoAudioDeviceInfo, ParlantoAudioError } from 'parlanto-audio';\n${usage}\n`);
  fs.writeFileSync(path.join(app, 'esm.mts'),
    `import audio, { ParlantoMicrophone, ParlantoAudioDeviceInfo, ParlantoAudioError } from 'parlanto-audio';\n` +
    `const { listOutputDevices } = audio;\n${usage}\n`);
  ok(room.node([path.join('node_modules', 'typescript', 'bin', 'tsc'), '-p', '.'], app), 'tsc --strict');
  for (const compiled of ['out/cjs.js', 'out/esm.mjs']) {
    assert.equal(ok(room.node([compiled], app, { extra: rig.env }), compiled).stdout.trim(), 'true 1');
  }

  // Every JavaScript example of the READMEs (the repository's, the package's,
  // the capture layer's) type-checks strictly; each complete one runs on the
  // audio server and ends by itself.
  const examples = writeExamples(path.join(app, 'readme'), [
    [path.join(repo, 'README.md'), 'repo'], [path.join(packageDir, 'README.md'), 'package'],
    [path.join(packageDir, 'capture', 'README.md'), 'capture'],
  ], { context: { mic: "import('parlanto-audio').ParlantoMicrophone" } });
  ok(room.node([path.join('node_modules', 'typescript', 'bin', 'tsc'), '-p', 'readme'], app), 'the README examples, tsc --strict');
  for (const example of examples.filter((e) => e.complete)) {
    const run = room.node([path.join('readme', example.file)], app, { extra: rig.env, timeout: 20000 });
    assert.equal(run.status, 0, `${example.name}:\n${run.output}`);
    assert.doesNotMatch(run.stderr, /Error/, example.name);
  }

  ok(room.node([typesVsRuntime, 'parlanto-audio'], app), 'types versus runtime');
  const attw = room.node([path.join('node_modules', '@arethetypeswrong', 'cli', 'dist', 'index.js'),
                          '--format', 'ascii', packed.tarball], app);
  assert.equal(attw.status, 0, attw.output);
  assert.match(attw.stdout, /No problems found/);

  await t.test('it captures on an audio server', async () => {
    // Records the rig's microphone until the tone played into it arrives
    // (or ten seconds have passed).
    const script = [
      'import { ParlantoMicrophone } from "parlanto-audio";',
      'const mic = new ParlantoMicrophone();',
      'let bytes = 0, peak = 0, finished = false;',
      'const done = () => {',
      '  if (finished) return;',
      '  finished = true;',
      '  mic.stop();',
      '  clearTimeout(timer);',
      '  console.log(JSON.stringify({ bytes, peak }));',
      '};',
      'const timer = setTimeout(done, 10000);',
      'mic.start((error, chunk) => {',
      '  if (error) throw error;',
      '  bytes += chunk.length;',
      '  for (let i = 0; i + 1 < chunk.length; i += 2) peak = Math.max(peak, Math.abs(chunk.readInt16LE(i)));',
      '  if (peak > 8000) done();',
      '});',
      'console.log("started");',
    ].join('\n');
    const child = spawn(path.join(room.bin, 'node'), ['--input-type=module', '-e', script],
                        { cwd: app, env: { ...room.env, ...rig.env } });
    let stdout = '';
    let stderr = '';
    child.stderr.on('data', (d) => { stderr += d; });
    const started = new Promise((resolve) => child.stdout.on('data', (d) => {
      stdout += d;
      if (stdout.includes('started')) resolve();
    }));
    const exited = new Promise((resolve) => child.on('close', resolve));
    await Promise.race([started, exited]);
    const tone = path.join(rigDir, 'tone.wav');
    writeTone(tone, 48000, 0.8);
    await rig.play(tone, rig.micFeedSink);
    assert.equal(await exited, 0, stderr);
    const result = JSON.parse(stdout.trim().split('\n').pop());
    assert.ok(result.bytes > 0, stdout);
    assert.ok(result.peak > 8000, `the tone did not come through: ${stdout}`);
  });
});

test('on a system without a prebuilt binary the install succeeds and require names the platform', () => {
  for (const [platform, code] of [['darwin-arm64', 'ERR_PARLANTO_AUDIO_UNSUPPORTED_PLATFORM'],
                                  ['linux-arm64', 'ERR_PARLANTO_AUDIO_NO_BINARY']]) {
    const app = room.app(`on-${platform}`);
    const install = ok(room.npm(['install', '--foreground-scripts', packed.tarball], app, { platform }),
                       `npm install on ${platform}`);
    assert.match(install.output, new RegExp(platform === 'darwin-arm64' ? 'no audio backend for darwin-arm64' : 'needs CMake'));
    assert.ok(!fs.existsSync(path.join(app, 'node_modules', 'parlanto-audio', 'build')));
    for (const args of [['-e', 'require("parlanto-audio")'], ['--input-type=module', '-e', 'import "parlanto-audio"']]) {
      const loaded = room.node([...args], app, { platform });
      assert.notEqual(loaded.status, 0);
      assert.match(loaded.stderr, new RegExp(`${code}|${platform}`));
      assert.match(loaded.stderr, new RegExp(`for ${platform}.*Supported: linux-x64 \\(prebuilt`));
    }
  }
});

test('building from source when asked leaves only the addon', () => {
  const app = room.app('from-source');
  ok(room.npm(['install', '--ignore-scripts', packed.tarball], app), 'npm install');
  // The full PATH: this build needs the compiler and cmake.
  const rebuilt = room.npm(['rebuild', 'parlanto-audio', '--foreground-scripts'], app,
                           { extra: { PATH: `${room.bin}${path.delimiter}${process.env.PATH}`,
                                      PARLANTO_AUDIO_BUILD_FROM_SOURCE: '1' } });
  ok(rebuilt, 'npm rebuild');
  const installed = path.join(app, 'node_modules', 'parlanto-audio');
  assert.deepEqual(listFiles(path.join(installed, 'build')), [path.join('Release', 'parlanto_audio.node')]);
  const loaded = ok(room.node(['-e', 'console.log(require.resolve("parlanto-audio"), Object.keys(require("parlanto-audio")).length)'],
                              app), 'require');
  assert.match(loaded.stdout, / 4$/m);
  const picked = ok(room.node(['-e', 'console.log(require("node-gyp-build").resolve("node_modules/parlanto-audio"))'], app),
                    'resolve');
  assert.match(picked.stdout, /build[/\\]Release[/\\]parlanto_audio\.node/);
});

// A 440 Hz tone at half scale, 48 kHz stereo 16-bit, as the rig's sinks take it.
function writeTone(file, rate, seconds) {
  const frames = Math.round(rate * seconds);
  const data = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; i++) {
    const sample = Math.round(16384 * Math.sin((2 * Math.PI * 440 * i) / rate));
    data.writeInt16LE(sample, i * 4);
    data.writeInt16LE(sample, i * 4 + 2);
  }
  writeStereoWav(file, rate, data);
}
