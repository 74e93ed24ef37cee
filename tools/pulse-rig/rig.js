#!/usr/bin/env node
'use strict';
// A private PulseAudio server for tests and demos: its socket, runtime and
// state live in one folder, it loads only the native protocol (anonymous
// access), a 48 kHz stereo null sink as the default output, and a "microphone"
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
    `set-default-sink ${OUTPUT_SINK}`,
    `set-default-source ${MIC_SOURCE}`,
    '',
  ].join('\n');
}

function run(file, args, env, options = {}) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { env: { ...process.env, ...env }, ...options }, (error, stdout, stderr) => {
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

// Ends the daemon whose pid is recorded in `dir` and removes the folder. A
// daemon already gone (killed by a test) is fine.
async function stopDir(dir) {
  if (!rigOwned(dir)) throw new Error(`${dir} is not a pulse rig folder; left alone`);
  const pidFile = path.join(dir, 'daemon.pid');
  let pid = null;
  try {
    pid = Number(fs.readFileSync(pidFile, 'utf8'));
  } catch {}
  if (pid && alive(pid)) {
    process.kill(pid, 'SIGTERM');
    if (!(await waitGone(pid, 3000))) {
      process.kill(pid, 'SIGKILL');
      await waitGone(pid, 3000);
    }
  }
  fs.rmSync(dir, { recursive: true, force: true });
}

async function startRig({ dir } = {}) {
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
    { env: { ...process.env, ...env }, stdio: ['ignore', log, log], detached: true },
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
      await run('pactl', ['info'], env);
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

  const rig = {
    dir,
    env,
    pid: daemon.pid,
    outputSink: OUTPUT_SINK,
    micFeedSink: MIC_FEED_SINK,
    micSource: MIC_SOURCE,
    pactl: (args) => run('pactl', args, env),
    // Resolves when the file has been played; paplay is paced in real time.
    play: (file, sink) => run('paplay', ['--device', sink, file], env),
    // The daemon dies at once, as in a crash; stop() still cleans up.
    kill: async () => {
      if (alive(daemon.pid)) {
        process.kill(daemon.pid, 'SIGKILL');
        await waitGone(daemon.pid, 3000);
      }
    },
    stop: () => stopDir(dir),
  };
  return rig;
}

module.exports = { startRig, stopDir, rigEnv };

if (require.main === module) {
  const [command, dir] = process.argv.slice(2);
  const quote = (s) => `'${String(s).replace(/'/g, `'\\''`)}'`;
  (async () => {
    if (command === 'start' && dir) {
      const rig = await startRig({ dir });
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
