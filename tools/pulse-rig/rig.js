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
//
// With `server: 'pipewire'` (or PARLANTO_RIG_SERVER=pipewire) the same devices
// are served by PipeWire's PulseAudio server instead: a session bus, pipewire
// with the two null sinks declared in a configuration fragment, wireplumber
// (which keeps each stream's volume, as module-stream-restore does) and
// pipewire-pulse, all with their runtime, configuration and state in DIR.

const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const OUTPUT_SINK = 'rig_output';
const MIC_FEED_SINK = 'rig_mic_feed';
const MIC_SOURCE = 'rig_mic';
const KEEPER_NAME = 'rig-keeper';
const START_TIMEOUT_MS = 10000;

function rigEnv(dir, server = 'pulseaudio') {
  if (server === 'pipewire') {
    const runtime = path.join(dir, 'runtime');
    return {
      PULSE_SERVER: `unix:${path.join(runtime, 'pulse', 'native')}`,
      PULSE_RUNTIME_PATH: path.join(runtime, 'pulse'),
      XDG_RUNTIME_DIR: runtime,
      XDG_CONFIG_HOME: path.join(dir, 'config'),
      XDG_STATE_HOME: path.join(dir, 'state'),
      DBUS_SESSION_BUS_ADDRESS: `unix:path=${path.join(runtime, 'bus')}`,
      HOME: dir,
    };
  }
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

// PipeWire's graph: the two sinks as null sinks, each with its monitor. The
// microphone is remapped from the feed's monitor once the pulse server runs.
function pipewireFragment() {
  const sink = (name, description) => `    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "${name}"
            node.description = "${description}"
            media.class      = "Audio/Sink"
            audio.rate       = 48000
            audio.position   = "FL,FR"
        }
    }`;
  return `context.objects = [\n${sink(OUTPUT_SINK, 'Rig Output')}\n${sink(MIC_FEED_SINK, 'Rig Microphone Feed')}\n]\n`;
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

// PipeWire's programs carry no argument of the rig's; their environment names
// the rig's folder.
function ours(pid, mark) {
  try {
    if (!alive(pid)) return false;
    if (fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(mark)) return true;
    return fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(mark);
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
  // The pulse server first, the session bus last.
  for (const pid of readPids(dir, 'pipewire.pid').reverse()) await end(pid, pipewireMark(dir));
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

const pipewireMark = (dir) => `XDG_RUNTIME_DIR=${path.join(dir, 'runtime')}`;

async function waitForServer(env, failed, what) {
  const deadline = Date.now() + START_TIMEOUT_MS;
  for (;;) {
    try {
      await run('pactl', ['info'], env, { timeout: 2000 });
      return;
    } catch (error) {
      if (failed() || Date.now() > deadline) throw new Error(`${what}: ${failed() ? 'exited' : 'timeout'}`);
      await sleep(20);
    }
  }
}

// Starts the session bus, pipewire, wireplumber and pipewire-pulse; returns
// the pid of the pulse server, the process clients talk to.
async function startPipewire(dir, env) {
  fs.mkdirSync(path.join(dir, 'config', 'pipewire', 'pipewire.conf.d'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'config', 'pipewire', 'pipewire.conf.d', 'rig.conf'), pipewireFragment());
  const log = fs.openSync(path.join(dir, 'daemon.log'), 'a');
  const pids = [];
  const launch = (file, args) => {
    const child = spawn(file, args, { env: toolEnv(env), stdio: ['ignore', log, log], detached: true });
    child.unref();
    pids.push(child.pid);
    fs.writeFileSync(path.join(dir, 'pipewire.pid'), pids.join(' '));
    return child;
  };
  try {
    launch('dbus-daemon', ['--session', `--address=${env.DBUS_SESSION_BUS_ADDRESS}`, '--nofork', '--nopidfile']);
    const bus = path.join(dir, 'runtime', 'bus');
    const pipewire = path.join(dir, 'runtime', 'pipewire-0');
    for (const socket of [bus, pipewire]) {
      if (socket === pipewire) launch('pipewire', []);
      const deadline = Date.now() + START_TIMEOUT_MS;
      while (!fs.existsSync(socket)) {
        if (Date.now() > deadline) throw new Error(`pipewire rig: no ${path.basename(socket)}`);
        await sleep(20);
      }
    }
    launch('wireplumber', []);
    const pulse = launch('pipewire-pulse', []);
    let exited = false;
    pulse.once('exit', () => {
      exited = true;
    });
    await waitForServer(env, () => exited, 'pipewire rig did not start');
    // The sinks appear once wireplumber has set them up.
    const deadline = Date.now() + START_TIMEOUT_MS;
    while (!(await run('pactl', ['list', 'short', 'sinks'], env)).includes(MIC_FEED_SINK)) {
      if (Date.now() > deadline) throw new Error('pipewire rig: the sinks did not appear');
      await sleep(20);
    }
    await run('pactl', ['load-module', 'module-remap-source', `source_name=${MIC_SOURCE}`,
      `master=${MIC_FEED_SINK}.monitor`, 'source_properties=device.description=Rig-Microphone'], env);
    // Defaults live in wireplumber's metadata, which may come up after the
    // pulse server answers ("Not supported" until then).
    for (const args of [['set-default-sink', OUTPUT_SINK], ['set-default-source', MIC_SOURCE]]) {
      for (;;) {
        try {
          await run('pactl', args, env);
          break;
        } catch (error) {
          if (Date.now() > deadline) throw error;
          await sleep(20);
        }
      }
    }
    return pulse.pid;
  } catch (error) {
    const text = fs.readFileSync(path.join(dir, 'daemon.log'), 'utf8');
    await stopDir(dir);
    throw new Error(`${error.message}\n${text}`);
  } finally {
    fs.closeSync(log);
  }
}

// Without `persist`, the rig ends with the process that started it, even when
// that process dies of an exception before calling stop().
async function startRig({ dir, persist = false, server = process.env.PARLANTO_RIG_SERVER || 'pulseaudio' } = {}) {
  dir = dir ? path.resolve(dir) : fs.mkdtempSync(path.join(os.tmpdir(), 'pulse-rig-'));
  // A killed daemon leaves its socket behind, and a new one refuses to bind over it.
  await stopDir(dir);
  fs.mkdirSync(path.join(dir, 'runtime'), { recursive: true, mode: 0o700 });
  fs.mkdirSync(path.join(dir, 'state'), { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(dir, 'rig.pa'), config(dir));
  if (server === 'pipewire') return rigHandle(dir, server, rigEnv(dir, server), await startPipewire(dir, rigEnv(dir, server)), persist);

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

  return rigHandle(dir, server, env, daemon.pid, persist);
}

// What a started rig offers; `pid` is the process that serves the clients.
function rigHandle(dir, server, env, pid, persist) {
  const marks = [
    ...readPids(dir, 'keepers.pid').map((p) => [p, KEEPER_NAME]),
    [pid, path.join(dir, 'rig.pa')],
    ...readPids(dir, 'pipewire.pid').map((p) => [p, pipewireMark(dir)]),
  ];
  const endWithProcess = () => {
    for (const [pid, mark] of marks) {
      if (ours(pid, mark)) process.kill(pid, 'SIGKILL');
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  if (!persist) process.once('exit', endWithProcess);

  const daemon = { pid };
  const rig = {
    dir,
    env,
    server,
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

// A 16-bit stereo PCM WAV file of `data` (interleaved little-endian samples),
// as the rig's sinks take it.
function writeStereoWav(file, rate, data) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(2, 22);
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * 4, 28);
  header.writeUInt16LE(4, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([header, data]));
}

module.exports = { startRig, stopDir, rigEnv, toolEnv, writeStereoWav };

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
