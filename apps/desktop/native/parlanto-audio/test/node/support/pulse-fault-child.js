'use strict';
// Run by 83-pulse-faults.test.js in a process of its own: captures from a rig,
// breaks it, and reports as JSON what the capture did. Modes:
//   kill    the server dies and a new one starts in its place
//   unload  the captured sink's module goes away and is loaded again
//   freeze  the server stops answering (SIGSTOP) for a while, then resumes
//   rewatch a device watch while the server dies and a new one starts
//   cycles  many starts and stops with the faults above mixed in; threads,
//           descriptors and memory before and after (run with --expose-gc)
// The parent reads standard error and the exit status too: a capture that
// still held the event loop after stop() would keep this process alive.

const s = require('./pulse-support.js');

const now = () => performance.now();

function watch(capture, options = {}) {
  const log = { chunks: 0, errors: [], lastChunkAt: 0 };
  capture.start((error, chunk) => {
    if (error) {
      log.errors.push({ at: now(), code: error.code, message: error.message });
    } else if (chunk.length > 0) {
      log.chunks += 1;
      log.lastChunkAt = now();
    }
  }, options.speechEnded ? () => {} : undefined);
  return log;
}

async function until(predicate, ms) {
  const deadline = now() + ms;
  while (!predicate() && now() < deadline) await s.sleep(5);
  return predicate();
}

// Milliseconds until `log` receives its next chunk, or null.
async function nextChunk(log, ms) {
  const from = now();
  const seen = log.chunks;
  return (await until(() => log.chunks > seen, ms)) ? now() - from : null;
}

function timed(fn) {
  const from = now();
  try {
    fn();
    return { ms: now() - from };
  } catch (error) {
    return { ms: now() - from, message: error.message, cause: error.cause && error.cause.message };
  }
}

async function kill(rig, addon) {
  const loopback = new addon.ParlantoSystemLoopback();
  const log = watch(loopback, { speechEnded: true });
  const report = { rate: 0 };
  report.before = (await until(() => log.chunks >= 10, 3000)) ? log.chunks : 0;
  report.rate = loopback.sampleRate;
  await rig.kill();
  await until(() => log.errors.length > 0, 2000);
  await s.sleep(500);
  report.duringOutage = log.chunks;
  // Data may already flow before the rig has finished its own set-up.
  const seen = log.chunks;
  const restarting = now();
  const restarted = await s.useRig({ dir: rig.dir });
  report.rigStartMs = now() - restarting;
  report.restartToData = log.chunks > seen ? 0 : await nextChunk(log, 5000);
  report.errors = log.errors;
  report.sameFormat = loopback.sampleRate === report.rate && loopback.channels === 2;
  loopback.stop();
  // Chunks queued before the stop may still arrive (on a loaded machine, a
  // few); once they have drained, nothing more may come.
  await s.sleep(300);
  const drained = log.chunks;
  await s.sleep(500);
  report.afterStop = log.chunks - drained;
  await restarted.stop();
  return report;
}

// A sink of its own, loaded through the pulse server (both servers can unload it).
const EXTRA_SINK = 'rig_extra';
const loadExtraSink = (rig) => rig.pactl(['load-module', 'module-null-sink', `sink_name=${EXTRA_SINK}`,
  'rate=48000', 'channels=2']);

async function unload(rig, addon) {
  let module = (await loadExtraSink(rig)).trim();
  const loopback = new addon.ParlantoSystemLoopback(`sink:${EXTRA_SINK}`);
  const log = watch(loopback);
  const report = {};
  report.before = (await until(() => log.chunks >= 10, 3000)) ? log.chunks : 0;
  await rig.pactl(['unload-module', module]);
  await until(() => log.errors.length > 0, 2000);
  await s.sleep(100);
  const unloaded = log.chunks;
  await s.sleep(700);
  report.whileGone = log.chunks - unloaded;  // a capture by id waits for that device
  module = (await loadExtraSink(rig)).trim();
  const loadedAt = now();
  // An idle null sink renders ahead for up to 2 s before a new recorder sees
  // data, so how soon the capture is back shows on the server: a recorder on
  // the new sink's monitor.
  const monitor = `${EXTRA_SINK}.monitor`;
  const recording = async () => {
    const sources = await rig.pactl(['list', 'short', 'sources']);
    const source = sources.split('\n').find((l) => l.split('\t')[1] === monitor);
    const outputs = await rig.pactl(['list', 'short', 'source-outputs']);
    return Boolean(source) && outputs.split('\n').some((l) => l.split('\t')[1] === source.split('\t')[0]);
  };
  while (!(await recording()) && now() - loadedAt < 5000) await s.sleep(10);
  report.loadToReconnect = now() - loadedAt;
  report.loadToData = await nextChunk(log, 5000);
  report.errors = log.errors;
  loopback.stop();
  await rig.pactl(['unload-module', module]);
  return report;
}

async function freeze(rig, addon) {
  const loopback = new addon.ParlantoSystemLoopback();
  const log = watch(loopback);
  const report = {};
  report.before = (await until(() => log.chunks >= 10, 3000)) ? log.chunks : 0;
  rig.freeze();
  const frozenAt = now();
  await until(() => log.errors.length > 0, 4000);
  report.silenceReportedAfter = log.errors.length > 0 ? log.errors[0].at - frozenAt : null;
  report.listInputs = timed(() => addon.listInputDevices());
  report.listOutputs = timed(() => addon.listOutputDevices());
  const mic = new addon.ParlantoMicrophone();
  report.start = timed(() => mic.start(() => {}));
  mic.stop();
  const byId = new addon.ParlantoMicrophone(`source:${rig.micSource}`);
  report.startById = timed(() => byId.start(() => {}));
  byId.stop();
  await s.sleep(200);
  report.errorsWhileFrozen = log.errors.length;  // once, not every 2 s
  rig.thaw();
  report.thawToData = await nextChunk(log, 5000);
  report.errors = log.errors;
  loopback.stop();
  return report;
}

const fs = require('node:fs');

function resources() {
  for (let i = 0; i < 3; i++) globalThis.gc();
  const rss = Number(fs.readFileSync('/proc/self/status', 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
  return {
    threads: fs.readdirSync('/proc/self/task').length,
    fds: fs.readdirSync('/proc/self/fd').length,
    rssKiB: rss,
  };
}

// A device watch across a server restart: it connects again by itself and
// tells what differs on the new server, then follows it as before.
async function rewatch(rig) {
  const { watchDevices } = require('../../../capture');
  const events = [];
  const unwatch = watchDevices((e) => events.push(`${e.type} ${e.kind} ${e.id}`),
    { onError: (error) => events.push(`error ${error.message}`) });
  const report = {};
  try {
    await s.sleep(300);  // the watch starts off this thread
    await rig.kill();
    await s.sleep(700);
    const restarted = await s.useRig({ dir: rig.dir });
    Object.assign(rig, { pactl: restarted.pactl, kill: restarted.kill, stop: restarted.stop });
    const extra = (await loadExtraSink(rig)).trim();
    await rig.pactl(['set-default-sink', EXTRA_SINK]);
    const loadedAt = now();
    report.toAdded = await until(() => events.includes(`added output sink:${EXTRA_SINK}`), 5000)
      ? now() - loadedAt : null;
    await until(() => events.includes(`default-changed output sink:${EXTRA_SINK}`), 3000);
    await rig.pactl(['unload-module', extra]);
    await until(() => events.includes(`removed output sink:${EXTRA_SINK}`), 3000);
  } finally {
    unwatch();
  }
  report.events = events;
  return report;
}

// Starts a capture of a default device. PipeWire's pulse server may have no
// default for a moment while its session manager re-evaluates the graph
// (seen after sinks come and go); the start is then tried again for up to 3 s,
// and a capture that still finds no default fails the test.
async function startOnDefault(capture, report) {
  const deadline = now() + 3000;
  for (;;) {
    try {
      capture.start(() => {});
      return;
    } catch (error) {
      if (!/^No default/.test(error.message) || now() > deadline) throw error;
      report.waitsForDefault = (report.waitsForDefault || 0) + 1;
      await s.sleep(100);
    }
  }
}

async function cycles(rig, addon) {
  const total = Number(process.env.PARLANTO_CYCLES || 1000);
  let extra = (await loadExtraSink(rig)).trim();
  const captures = [new addon.ParlantoMicrophone(), new addon.ParlantoSystemLoopback(),
    new addon.ParlantoSystemLoopback(`sink:${EXTRA_SINK}`)];
  const report = { cycles: 0, failedStarts: 0, faults: 0 };
  const cycle = async (i) => {
    const capture = captures[i % captures.length];
    try {
      capture.start(() => {}, () => {});
    } catch {
      report.failedStarts += 1;
      return;
    }
    if (i % 10 === 0) await s.sleep(20);  // some run long enough to deliver
    capture.stop();
  };
  for (let i = 0; i < total; i++) {
    if (i === 100) report.before = resources();
    if (i % 200 === 150) {
      // A sink goes away under running captures, which stop while recovering.
      await startOnDefault(captures[1], report);
      captures[2].start(() => {});
      await rig.pactl(['unload-module', extra]);
      await s.sleep(300);
      captures[1].stop();
      captures[2].stop();
      extra = (await loadExtraSink(rig)).trim();
      report.faults += 1;
    }
    if (i % 400 === 350) {
      // The server dies under running captures; starts fail until it is back.
      await startOnDefault(captures[0], report);
      await rig.kill();
      await s.sleep(300);
      for (let j = 0; j < 10; j++) await cycle(j + 1);
      const restarted = await s.useRig({ dir: rig.dir });
      Object.assign(rig, { pactl: restarted.pactl, kill: restarted.kill, stop: restarted.stop });
      extra = (await loadExtraSink(rig)).trim();
      await s.sleep(300);
      captures[0].stop();
      report.faults += 1;
    }
    await cycle(i);
    report.cycles += 1;
  }
  report.after = resources();
  return report;
}

async function main(mode) {
  const rig = await s.useRig();
  const addon = s.loadAddon();
  const report = await { kill, unload, freeze, cycles, rewatch }[mode](rig, addon);
  await rig.stop();
  process.stdout.write(JSON.stringify(report));
}

main(process.argv[2]).catch((error) => {
  process.stdout.write(JSON.stringify({ failure: String(error && error.stack) }));
  process.exitCode = 3;
});
