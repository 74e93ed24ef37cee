'use strict';
// Run by 83-pulse-faults.test.js in a process of its own: captures from a rig,
// breaks the captured device (`unload`: its module goes away; `kill`: the
// server dies), stops, and starts again on a new server. Prints what happened
// as JSON; the parent reads standard error and the exit status.

const s = require('./pulse-support.js');

async function main(mode) {
  let rig = await s.useRig();
  const addon = s.loadAddon();
  const loopback = new addon.ParlantoSystemLoopback();
  const report = { errors: 0, notifications: 0 };
  let chunks = 0;
  loopback.start(
    (error) => (error ? report.errors++ : chunks++),
    (error) => (error ? report.errors++ : report.notifications++),
  );
  const deadline = Date.now() + 3000;
  while (chunks < 10 && Date.now() < deadline) await s.sleep(10);
  report.before = chunks;

  if (mode === 'unload') {
    const modules = await rig.pactl(['list', 'short', 'modules']);
    const line = modules.split('\n').find((l) => l.includes(`sink_name=${rig.outputSink} `));
    await rig.pactl(['unload-module', line.split('\t')[0]]);
  } else {
    await rig.kill();
  }
  await s.sleep(300);
  const afterFault = chunks;
  await s.sleep(300);
  report.afterFault = chunks - afterFault;
  loopback.stop();
  await rig.stop();

  rig = await s.useRig();
  let again = 0;
  loopback.start(() => again++);
  const againDeadline = Date.now() + 3000;
  while (again < 10 && Date.now() < againDeadline) await s.sleep(10);
  loopback.stop();
  report.again = again;
  await rig.stop();
  process.stdout.write(JSON.stringify(report));
}

main(process.argv[2]).catch((error) => {
  process.stdout.write(JSON.stringify({ failure: String(error && error.stack) }));
  process.exitCode = 3;
});
