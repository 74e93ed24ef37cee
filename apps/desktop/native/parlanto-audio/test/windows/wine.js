'use strict';
// Runs the Windows build under Wine for the tests of this folder. Where Wine,
// its prefix or node.exe is missing, every helper throws: the tests fail with
// the set-up's name rather than pass without having run.
//
// With PARLANTO_WINE_ROOT set, Wine is the one installed in that Debian root:
// each Wine command runs chrooted there in a mount namespace of its own, with
// the folders the tests use (the repository, the cache, the temporary folder
// holding the sound server's socket) bound at the same paths.

const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

function setup() {
  const wine = process.env.PARLANTO_WINE;
  const node = process.env.PARLANTO_WINDOWS_NODE;
  const prefix = process.env.WINEPREFIX;
  const root = process.env.PARLANTO_WINE_ROOT;
  const problems = [];
  if (root && !fs.existsSync(path.join(root, wine || '/usr/lib/wine/wine64'))) {
    problems.push(`Wine in the Debian root ${root}`);
  } else if (!root && (!wine || !fs.existsSync(wine))) {
    problems.push(`Wine (${wine || 'not found'})`);
  }
  if (!node || !fs.existsSync(node)) problems.push(`node.exe (${node || 'not set'})`);
  if (!prefix || !fs.existsSync(path.join(prefix, 'system.reg'))) problems.push(`a Wine prefix (${prefix || 'not set'})`);
  if (problems.length) {
    throw new Error(`the Windows tests need ${problems.join(', ')}: run scripts/setup-windows.sh`);
  }
  return { wine, node, prefix, root, wineserver: process.env.PARLANTO_WINESERVER };
}

const BIND = [
  '/proc', '/dev', '/sys', os.tmpdir(), path.resolve(__dirname, '..', '..', '..', '..', '..', '..'),
  ...(process.env.PARLANTO_CACHE ? [process.env.PARLANTO_CACHE] : []),
];

// The command line that runs `file` with `args`, in the Debian root if there is one.
function command(file, args) {
  const { root } = setup();
  if (!root) return [file, args];
  const script = 'set -e; r=$1; shift; n=$1; shift; i=0; ' +
    'while [ $i -lt $n ]; do d=$1; shift; mkdir -p "$r$d"; mount --rbind "$d" "$r$d"; i=$((i+1)); done; ' +
    'exec chroot "$r" "$@"';
  return ['unshare', ['--mount', '--propagation', 'private', '--', '/bin/sh', '-c', script, 'sh',
    root, String(BIND.length), ...BIND, file, ...args]];
}

// Wine's environment: quiet, and no Gecko or Mono installer prompts.
// The test runner's own marker is left out: node.exe is not its child.
function wineEnv(env = {}) {
  const { prefix } = setup();
  const own = { ...process.env };
  delete own.NODE_TEST_CONTEXT;
  return { ...own, ...env, WINEPREFIX: prefix, WINEDEBUG: '-all', WINEDLLOVERRIDES: 'mscoree,mshtml=' };
}

// A server that stays up between the Wine processes of a run; started before
// anything else, so no Windows process inherits a pipe of ours.
function startServer(env) {
  const { wineserver } = setup();
  // A server already running answers with a failure status: that is fine.
  if (wineserver) spawnSync(...command(wineserver, ['-p30']), { env: wineEnv(env), stdio: 'ignore' });
}

// Runs node.exe with `args` to its end; its output goes to files, read back.
function runNode(args, { env = {}, timeout = 170000, cwd, node = setup().node } = {}) {
  const { wine } = setup();
  startServer(env);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-'));
  const outFile = path.join(dir, 'stdout');
  const errFile = path.join(dir, 'stderr');
  const out = fs.openSync(outFile, 'w');
  const err = fs.openSync(errFile, 'w');
  return new Promise((resolve, reject) => {
    const child = spawn(...command(wine, [node, ...args]), { env: wineEnv(env), stdio: ['ignore', out, err], cwd });
    fs.closeSync(out);
    fs.closeSync(err);
    const timer = setTimeout(() => child.kill('SIGKILL'), timeout);
    child.on('error', reject);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      const result = {
        code, signal,
        stdout: fs.readFileSync(outFile, 'utf8'),
        stderr: fs.readFileSync(errFile, 'utf8'),
      };
      fs.rmSync(dir, { recursive: true, force: true });
      resolve(result);
    });
  });
}

// Starts wine-child.js on `addon` and returns { call(op, args), close() }.
async function startChild({ addon, env = {}, timeout = 60000 }) {
  const { wine, node } = setup();
  startServer(env);
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const log = fs.mkdtempSync(path.join(os.tmpdir(), 'parlanto-wine-child-'));
  const err = fs.openSync(path.join(log, 'stderr'), 'w');
  const child = spawn(...command(wine, [node, path.join(__dirname, 'wine-child.js'), String(server.address().port), addon]),
    { env: wineEnv(env), stdio: ['ignore', err, err] });
  fs.closeSync(err);
  const stderr = () => fs.readFileSync(path.join(log, 'stderr'), 'utf8');
  let exited = null;
  child.on('exit', (code) => { exited = code; });

  const socket = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`node.exe did not connect:\n${stderr()}`)), timeout);
    server.once('connection', (s) => { clearTimeout(timer); resolve(s); });
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`node.exe exited (${code}):\n${stderr()}`)); });
  });
  server.close();
  socket.setEncoding('utf8');
  const waiting = new Map();
  let seq = 0;
  let pending = '';
  socket.on('data', (text) => {
    pending += text;
    let newline;
    while ((newline = pending.indexOf('\n')) >= 0) {
      const reply = JSON.parse(pending.slice(0, newline));
      pending = pending.slice(newline + 1);
      const { resolve, reject } = waiting.get(reply.seq);
      waiting.delete(reply.seq);
      if (reply.error) reject(Object.assign(new Error(reply.error.message), { code: reply.error.code }));
      else resolve(reply.result);
    }
  });
  socket.on('close', () => {
    for (const { reject } of waiting.values()) reject(new Error(`node.exe went away (${exited}):\n${stderr()}`));
    waiting.clear();
  });
  return {
    call: (op, args = {}) => new Promise((resolve, reject) => {
      seq += 1;
      waiting.set(seq, { resolve, reject });
      socket.write(`${JSON.stringify({ seq, op, ...args })}\n`);
    }),
    stderr,
    pid: child.pid,
    close: async () => {
      socket.end();
      if (exited === null) await new Promise((resolve) => child.once('exit', resolve));
      fs.rmSync(log, { recursive: true, force: true });
    },
  };
}

// Wine's version as [major, minor].
function wineVersion() {
  const { wine } = setup();
  const text = execFileSync(...command(wine, ['--version']), { encoding: 'utf8' });
  const match = /wine-(\d+)\.(\d+)/.exec(text);
  return match ? [Number(match[1]), Number(match[2])] : [0, 0];
}

module.exports = { setup, runNode, startChild, wineVersion };
