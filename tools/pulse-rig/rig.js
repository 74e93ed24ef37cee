#!/usr/bin/env node
'use strict';
// A private PulseAudio server for tests and demos: its socket, runtime and
// state live in one folder, it loads only the native protocol (anonymous
// access), the per-stream volume memory, a 48 kHz stereo null sink as the
// default output, and a "microphone"
// made of a second null sink (the feed) whose monitor is remapped into an
// ordinary source, the default input.
//
//   const { startRig } = require('tools/pulse-rig/rig.js');
//   const rig = await startRig();          // or startRig({ dir })
//   Object.assign(process.env, rig.env);   // before the first libpulse client
//   await rig.play('speech.wav', rig.micFeedSink);
//   await rig.stop();
//
// From a shell:  eval "$(node tools/pulse-rig/rig.js start DIR)"  ...  node tools/pulse-rig/rig.js stop DIR

const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const OUTPUT_SINK = 'rig_output';
const MIC_FEED_SINK = 'rig_mic_feed';
const MIC_SOURCE = 'rig_mic';
const KEEPER_NAME = 'rig-keeper';
const START_TIMEOUT_MS = 10000;

function rigEnv(dir) {
  return {
    PULSE_SERVER: `unix:${path.join(dir, 'native')}`,
    PULSE_RUNTIME_PATH: path.join(dir, 'runtime'),
    PULSE_STATE_PATH: path.join(dir, 'state'),
    XDG_RUNTIME_DIR: path.join(dir, 'runtime'),
    HOME: dir,
  };
}

function config(dir) {
  const socket = path.join(dir, 'native');
  return [
    `load-module module-native-protocol-unix auth-anonymous=1 socket=${socket}`,
    `load-module module-null-sink sink_name=${OUTPUT_SINK} rate=48000 channels=2 ` +
      `sink_properties=device.description="Rig\\ Output"`,
    `load-module module-null-sink sink_name=${MIC_FEED_SINK} rate=48000 channels=2 ` +
      `sink_properties=device.description="Rig\\ Microphone\\ Feed"`,
    `load-module module-remap-source source_name=${MIC_SOURCE} master=${MIC_FEED_SINK}.monitor ` +
      `source_properties=device.description="Rig\\ Microphone"`,
    // As on a desktop: the server remembers each stream's volume and mute.
    'load-module module-stream-restore',
    `set-default-sink ${OUTPUT_SINK}`,
    `set-default-source ${MIC_SOURCE}`,
    '',
  ].join('\n');
}

// The environment for the server and its tools: this process's, less what
// preloads a sanitizer runtime (a test of an instrumented module sets it, and
// PulseAudio's programs hang under it), plus `env`.
function toolEnv(env = {}) {
  const clean = { ...process.env };
  for (const name of ['LD_PRELOAD', 'ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS']) {
    delete clean[name];
  }
  return { ...clean, ...env };
}

// Runs a tool of the server to its end; a tool that hangs is ended after
// `timeout` ms (0: never).
function run(file, args, env, { timeout = 10000 } = {}) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { env: toolEnv(env), timeout, killSignal: 'SIGKILL' }, (error, stdout, stderr) => {
      if (error) {
        error.message = `${file} ${args.join(' ')}: ${stderr.trim() || error.message}`;
        reject(error);
      } else {
        resolve(stdout);
      }
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A zombie (killed, not yet reaped by its parent) counts as gone.
function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

async function waitGone(pid, ms) {
  const deadline = Date.now() + ms;
  while (alive(pid) && Date.now() < deadline) await sleep(20);
  return !alive(pid);
}

// A folder the rig may clear: missing, empty, or one it made before.
function rigOwned(dir) {
  try {
    const entries = fs.readdirSync(dir);
    return entries.length === 0 || entries.includes('rig.pa');
  } catch {
    return true;
  }
}

function readPids(dir, name) {
  try {
    return fs.readFileSync(path.join(dir, name), 'utf8').split(/\s+/).filter(Boolean).map(Number);
  } catch {
    return [];
  }
}

// Ends `pid` if it is still the process the rig started (its command line
// holds `mark`), not another that has since been given the same number.
async function end(pid, mark) {
  if (!ours(pid, mark)) return;
  process.kill(pid, 'SIGTERM');
  if (!(await waitGone(pid, 3000))) {
    process.kill(pid, 'SIGKILL');
    await waitGone(pid, 3000);
  }
}

function ours(pid, mark) {
  try {
    return alive(pid) && fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(mark);
  } catch {
    return false;
  }
}

// Ends the processes whose pids are recorded in `dir` (the keepers, then the
// daemon) and removes the folder. Processes already gone are fine.
async function stopDir(dir) {
  if (!rigOwned(dir)) throw new Error(`${dir} is not a pulse rig folder; left alone`);
  for (const pid of readPids(dir, 'keepers.pid')) await end(pid, KEEPER_NAME);
  for (const pid of readPids(dir, 'daemon.pid')) await end(pid, path.join(dir, 'rig.pa'));
  fs.rmSync(dir, { recursive: true, force: true });
}

// An idle null sink renders up to 2 s ahead, so a new recorder would wait that
// long for its first data and see it in bursts. A 10 ms recorder on each chain
// keeps the sinks rendering in small blocks, which makes timing real-time.
async function startKeepers(dir, env, log) {
  const sources = [`${OUTPUT_SINK}.monitor`, MIC_SOURCE];
  const pids = sources.map((source) => {
    const keeper = spawn('parec', [
      '--device', source, `--client-name=${KEEPER_NAME}`, '--latency-msec=10',
      '--format=s16le', '--rate=48000', '--channels=2', '--raw',
    ], {
      env: toolEnv(env),
      stdio: ['ignore', 'ignore', log],
      detached: true,
    });
    keeper.unref();
    return keeper.pid;
  });
  fs.writeFileSync(path.join(dir, 'keepers.pid'), pids.join(' '));
  // The first data of a keeper ends the render-ahead block on its chain.
  const deadline = Date.now() + START_TIMEOUT_MS;
  for (;;) {
    const outputs = await run('pactl', ['list', 'source-outputs'], env);
    const running = outputs
      .split('Source Output #')
      .filter((o) => o.includes(`application.name = "${KEEPER_NAME}"`) && o.includes('Corked: no'));
    if (running.length >= sources.length) break;
    if (Date.now() > deadline) throw new Error('pulse rig: keepers did not connect');
    await sleep(20);
  }
  // Resuming a sink drops the block it rendered ahead while it was idle.
  for (const sink of [OUTPUT_SINK, MIC_FEED_SINK]) {
    await run('pactl', ['suspend-sink', sink, '1'], env);
    await run('pactl', ['suspend-sink', sink, '0'], env);
  }
}

// Without `persist`, the rig ends with the process that started it, even when
// that process dies of an exception before calling stop().
async function startRig({ dir, persist = false } = {}) {
  dir = dir ? path.resolve(dir) : fs.mkdtempSync(path.join(os.tmpdir(), 'pulse-rig-'));
  // A killed daemon leaves its socket behind, and a new one refuses to bind over it.
  await stopDir(dir);
  fs.mkdirSync(path.join(dir, 'runtime'), { recursive: true, mode: 0o700 });
  fs.mkdirSync(path.join(dir, 'state'), { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(dir, 'rig.pa'), config(dir));

  const env = rigEnv(dir);
  const log = fs.openSync(path.join(dir, 'daemon.log'), 'a');
  // Root is what CI runs as: a user-mode daemon warns about it and runs anyway.
  const daemon = spawn(
    'pulseaudio',
    [
      '-n',
      '--daemonize=no',
      '--system=false',
      '--exit-idle-time=-1',
      '--disallow-exit',
      '--use-pid-file=false',
      '--realtime=false',
      '--high-priority=false',
      '--no-cpu-limit',
      '--log-target=stderr',
      '-F',
      path.join(dir, 'rig.pa'),
    ],
    { env: toolEnv(env), stdio: ['ignore', log, log], detached: true },
  );
  fs.closeSync(log);
  daemon.unref();
  fs.writeFileSync(path.join(dir, 'daemon.pid'), String(daemon.pid));
  let exited = false;
  daemon.once('exit', () => {
    exited = true;
  });

  const deadline = Date.now() + START_TIMEOUT_MS;
  for (;;) {
    try {
      await run('pactl', ['info'], env, { timeout: 2000 });
      break;
    } catch (error) {
      if (exited || Date.now() > deadline) {
        const text = fs.readFileSync(path.join(dir, 'daemon.log'), 'utf8');
        await stopDir(dir);
        throw new Error(`pulse rig did not start: ${exited ? 'daemon exited' : 'timeout'}\n${text}`);
      }
      await sleep(20);
    }
  }

  const keeperLog = fs.openSync(path.join(dir, 'daemon.log'), 'a');
  try {
    await startKeepers(dir, env, keeperLog);
  } catch (error) {
    await stopDir(dir);
    throw error;
  } finally {
    fs.closeSync(keeperLog);
  }

  const marks = [
    ...readPids(dir, 'keepers.pid').map((pid) => [pid, KEEPER_NAME]),
    [daemon.pid, path.join(dir, 'rig.pa')],
  ];
  const endWithProcess = () => {
    for (const [pid, mark] of marks) {
      if (ours(pid, mark)) process.kill(pid, 'SIGKILL');
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  if (!persist) process.once('exit', endWithProcess);

  const rig = {
    dir,
    env,
    pid: daemon.pid,
    outputSink: OUTPUT_SINK,
    micFeedSink: MIC_FEED_SINK,
    micSource: MIC_SOURCE,
    pactl: (args) => run('pactl', args, env),
    // Resolves when the file has been played; paplay is paced in real time.
    play: (file, sink) => run('paplay', ['--device', sink, file], env, { timeout: 0 }),
    // The daemon stops answering (SIGSTOP), as a hung server does, and resumes.
    freeze: () => alive(daemon.pid) && process.kill(daemon.pid, 'SIGSTOP'),
    thaw: () => alive(daemon.pid) && process.kill(daemon.pid, 'SIGCONT'),
    // The daemon dies at once, as in a crash; stop() still cleans up.
    kill: async () => {
      if (alive(daemon.pid)) {
        process.kill(daemon.pid, 'SIGKILL');
        await waitGone(daemon.pid, 3000);
      }
    },
    stop: async () => {
      process.removeListener('exit', endWithProcess);
      if (alive(daemon.pid)) process.kill(daemon.pid, 'SIGCONT');
      await stopDir(dir);
    },
  };
  return rig;
}

module.exports = { startRig, stopDir, rigEnv, toolEnv };

if (require.main === module) {
  const [command, dir] = process.argv.slice(2);
  const quote = (s) => `'${String(s).replace(/'/g, `'\\''`)}'`;
  (async () => {
    if (command === 'start' && dir) {
      const rig = await startRig({ dir, persist: true });
      for (const [name, value] of Object.entries(rig.env)) console.log(`export ${name}=${quote(value)}`);
      console.log(`export PARLANTO_RIG_OUTPUT_SINK=${quote(rig.outputSink)}`);
      console.log(`export PARLANTO_RIG_MIC_FEED_SINK=${quote(rig.micFeedSink)}`);
      console.log(`export PARLANTO_RIG_MIC_SOURCE=${quote(rig.micSource)}`);
    } else if (command === 'stop' && dir) {
      await stopDir(path.resolve(dir));
    } else {
      console.error('usage: rig.js start|stop DIR');
      process.exitCode = 2;
    }
  })().catch((error) => {
    console.error(error.message);
    process.exitCode = 1;
  });
}
