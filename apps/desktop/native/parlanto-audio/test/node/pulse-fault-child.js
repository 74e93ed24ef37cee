'use strict';
// Run by 83-pulse-faults.test.js in a process of its own: captures from a rig,
// breaks it, and reports as JSON what the capture did. Modes:
//   kill    the server dies and a new one starts in its place
//   unload  the captured sink's module goes away and is loaded again
//   freeze  the server stops answering (SIGSTOP) for a while, then resumes
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
  const restarted = await s.useRig({ dir: rig.dir });
  report.restartToData = await nextChunk(log, 5000);
  report.errors = log.errors;
  report.sameFormat = loopback.sampleRate === report.rate && loopback.channels === 2;
  loopback.stop();
  const afterStop = log.chunks;
  await s.sleep(300);
  report.afterStop = log.chunks - afterStop;
  await restarted.stop();
  return report;
}

async function unload(rig, addon) {
  const id = `sink:${rig.outputSink}`;
  const loopback = new addon.ParlantoSystemLoopback(id);
  const log = watch(loopback);
  const report = {};
  report.before = (await until(() => log.chunks >= 10, 3000)) ? log.chunks : 0;
  const modules = await rig.pactl(['list', 'short', 'modules']);
  const line = modules.split('\n').find((l) => l.includes(`sink_name=${rig.outputSink} `));
  const [index, name, args] = line.split('\t');
  await rig.pactl(['unload-module', index]);
  await until(() => log.errors.length > 0, 2000);
  await s.sleep(100);
  const unloaded = log.chunks;
  await s.sleep(700);
  report.whileGone = log.chunks - unloaded;  // a capture by id waits for that device
  await rig.pactl(['load-module', name, ...args.match(/(?:[^\s"]+|"[^"]*")+/g)]);
  const loadedAt = now();
  // An idle null sink renders ahead for up to 2 s before a new recorder sees
  // data, so how soon the capture is back shows on the server: a recorder on
  // the new sink's monitor.
  const monitor = `${rig.outputSink}.monitor`;
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

async function main(mode) {
  const rig = await s.useRig();
  const addon = s.loadAddon();
  const report = await { kill, unload, freeze }[mode](rig, addon);
  await rig.stop();
  process.stdout.write(JSON.stringify(report));
}

main(process.argv[2]).catch((error) => {
  process.stdout.write(JSON.stringify({ failure: String(error && error.stack) }));
  process.exitCode = 3;
});
