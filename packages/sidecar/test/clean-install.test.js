'use strict';
// The package as app developers meet it: packed (its prepack builds the
// prebuilt program), installed into a fresh app whose PATH holds no compiler
// or cmake, and used from CommonJS, an ES module and TypeScript for a round
// trip with the real program; on a simulated other system it builds the
// program at install, or installs without one and createSidecar() says why. Needs the npm registry (or npm's cache)
// and root for the prebuild.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..');
const repo = path.resolve(packageDir, '..', '..');
const { CleanRoom, pack, listFiles } = require(path.join(repo, 'tools', 'package-test', 'clean-room.js'));
const typesVsRuntime = path.join(repo, 'tools', 'package-test', 'types-vs-runtime.js');
const { writeExamples, newestGlibc, glibcClaims } = require(path.join(repo, 'tools', 'package-test', 'readme-claims.js'));

const room = new CleanRoom('parlanto-sidecar-package-');
test.after(() => room.remove());
const packed = pack(packageDir, room.dir);

function ok(result, what) {
  assert.equal(result.status, 0, `${what}:\n${result.output}`);
  return result;
}

// A status and a tool call through createSidecar(), printed as one line.
const roundTrip = (imports) => [
  imports,
  'const sidecar = createSidecar({ timeoutMs: 5000 });',
  'const status = await sidecar.status();',
  'const reply = await sidecar.toolCall("Please summarize the session");',
  'const call = reply.ok ? parseFunctionCall(reply.output) : null;',
  'await sidecar.close();',
  'console.log(status.ok && status.output, call && call.name);',
].join('\n');

test('the tarball holds the client, its typings, the sources and the prebuilt program', () => {
  const sources = fs.readdirSync(path.join(repo, 'sidecar', 'src')).filter((f) => /\.(cc|h)$/.test(f)).map((f) => `src/${f}`);
  assert.deepEqual(packed.files, ['CMakeLists.txt', 'LICENSE', 'README.md', 'client.js', 'index.d.mts', 'index.d.ts',
                                  'index.js', 'index.mjs', 'package.json', 'prebuilds/linux-x64/sidecar',
                                  'scripts/install.js', ...sources].sort());
  assert.equal(packed.modes['prebuilds/linux-x64/sidecar'] & 0o111, 0o111, 'the program is executable');
  const version = require('node:child_process').execFileSync(path.join(packageDir, 'prebuilds', 'linux-x64', 'sidecar'),
                                                              ['--version'], { encoding: 'utf8' });
  assert.equal(version, `sidecar ${require(path.join(packageDir, 'package.json')).version}\n`);
  // The README names the newest C library version the program asks for.
  const claims = glibcClaims(path.join(packageDir, 'README.md'));
  assert.deepEqual(claims, [newestGlibc(path.join(packageDir, 'prebuilds', 'linux-x64', 'sidecar'))]);
});

test('an app installs it without a compiler and talks to the program from CJS, ESM and TypeScript', () => {
  const app = room.app('app');
  ok(room.npm(['install', packed.tarball, 'typescript@~5.9.3', '@types/node@^20.19.0', '@arethetypeswrong/cli@^0.18.5'],
              app), 'npm install');
  assert.deepEqual(listFiles(path.join(app, 'node_modules', 'parlanto-sidecar')), packed.files);

  const expected = 'stub summarize_session';
  const cjs = ok(room.node(['-e', `(async () => {\n${roundTrip('const { createSidecar, parseFunctionCall } = require("parlanto-sidecar");')}\n})()`],
                 app), 'require');
  assert.equal(cjs.stdout.trim(), expected);
  const esm = ok(room.node(['--input-type=module', '-e', roundTrip('import { createSidecar, parseFunctionCall } from "parlanto-sidecar";')],
                 app), 'import');
  assert.equal(esm.stdout.trim(), expected);

  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, module: 'nodenext', moduleResolution: 'nodenext', target: 'es2022',
                       types: ['node'], outDir: 'out' },
    files: ['cjs.ts', 'esm.mts'],
  }));
  const typed = (imports) => [
    imports,
    'async function main(): Promise<void> {',
    '  const sidecar: SidecarClient = createSidecar({ timeoutMs: 5000 });',
    '  sidecar.on("restart", (why: string) => console.error(why));',
    '  const reply: SidecarResponse = await sidecar.toolCall("Save this question about Kafka", { tool: undefined });',
    '  await sidecar.close();',
    '  // @ts-expect-error only a successful response has an output',
    '  void reply.output;',
    '  // @ts-expect-error the input is text',
    '  const misuse = () => sidecar.toolCall(42);',
    '  void misuse;',
    '  if (!reply.ok) throw new Error(reply.error);',
    '  const call = parseFunctionCall(reply.output);',
    '  console.log(call?.name, call?.args.topic);',
    '}',
    'main().catch((error: unknown) => { console.error(error instanceof SidecarError ? error.code : error); process.exit(1); });',
  ].join('\n');
  const names = '{ createSidecar, parseFunctionCall, SidecarClient, SidecarError, SidecarResponse }';
  fs.writeFileSync(path.join(app, 'cjs.ts'), typed(`import ${names} from 'parlanto-sidecar';`));
  fs.writeFileSync(path.join(app, 'esm.mts'), typed(`import ${names} from 'parlanto-sidecar';`));
  ok(room.node([path.join('node_modules', 'typescript', 'bin', 'tsc'), '-p', '.'], app), 'tsc --strict');
  for (const compiled of ['out/cjs.js', 'out/esm.mjs']) {
    assert.equal(ok(room.node([compiled], app), compiled).stdout.trim(), 'save_interview_question kafka');
  }

  // Every example of the README type-checks strictly and runs as written.
  const readme = path.join(app, 'readme');
  const examples = writeExamples(readme, [[path.join(packageDir, 'README.md'), 'sidecar']]);
  ok(room.node([path.join('node_modules', 'typescript', 'bin', 'tsc'), '-p', 'readme'], app), 'the README examples, tsc --strict');
  for (const example of examples) {
    assert.ok(example.complete, example.name);
    const run = ok(room.node([path.join('readme', example.file)], app), example.name);
    assert.match(run.stdout, /stub/, example.name);
  }

  ok(room.node([typesVsRuntime, 'parlanto-sidecar'], app), 'types versus runtime');
  const attw = room.node([path.join('node_modules', '@arethetypeswrong', 'cli', 'dist', 'index.js'),
                          '--format', 'ascii', packed.tarball], app);
  assert.equal(attw.status, 0, attw.output);
});

test('on a system without a prebuilt program the install builds one, or installs anyway and createSidecar says why', () => {
  const platform = 'darwin-arm64';
  const use = ['-e', [
    'let client;',
    'try {',
    '  client = require("parlanto-sidecar").createSidecar();',
    '} catch (error) {',
    '  console.log(`${error.code}\\n${error.message}`);',
    '  process.exit(0);',
    '}',
    'client.status().then(async (reply) => { console.log(reply.output); await client.close(); });',
  ].join('\n')];

  const bare = room.app(`on-${platform}`);
  ok(room.npm(['install', '--foreground-scripts', packed.tarball], bare, { platform }), `npm install on ${platform}`);
  const [code, message] = room.node(use, bare, { platform }).stdout.trim().split('\n');
  assert.equal(code, 'ERR_PARLANTO_SIDECAR_NO_PROGRAM');
  assert.match(message, /for darwin-arm64: .* Supported: linux-x64 \(prebuilt\), any system with CMake/);

  // With a compiler and cmake on PATH the install builds the program, and
  // keeps only it.
  const built = room.app(`built-on-${platform}`);
  ok(room.npm(['install', '--foreground-scripts', packed.tarball], built,
              { platform, extra: { PATH: `${room.bin}${path.delimiter}${process.env.PATH}` } }), 'npm install with cmake');
  const installed = path.join(built, 'node_modules', 'parlanto-sidecar');
  assert.deepEqual(listFiles(path.join(installed, 'build')), ['sidecar']);
  assert.equal(ok(room.node(use, built, { platform }), 'the built program').stdout.trim(), 'stub');
});
