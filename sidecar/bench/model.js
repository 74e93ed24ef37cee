'use strict';
// Drives the sidecar with a model, one request at a time as the shell sends
// them, and prints what a user waits for: the first call (the model's load
// included), steady calls, and the program's peak memory.
//   node model.js SIDECAR MODEL THREADS CALLS TURN...
const { spawn } = require('node:child_process');
const fs = require('node:fs');

const [sidecar, model, threads, calls, ...turns] = process.argv.slice(2);
const child = spawn(sidecar, ['--model', model, '--threads', threads], { stdio: ['pipe', 'pipe', 'inherit'] });
child.stdout.setEncoding('utf8');
let buffered = '';
const waiting = [];
child.stdout.on('data', (text) => {
  buffered += text;
  let newline;
  while ((newline = buffered.indexOf('\n')) !== -1) {
    const line = buffered.slice(0, newline);
    buffered = buffered.slice(newline + 1);
    waiting.shift()(JSON.parse(line));
  }
});

function ask(request) {
  return new Promise((resolve) => {
    const start = process.hrtime.bigint();
    waiting.push((response) => resolve({ response, ms: Number(process.hrtime.bigint() - start) / 1e6 }));
    child.stdin.write(JSON.stringify(request) + '\n');
  });
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))];
}

(async () => {
  const first = await ask({ id: '0', type: 'tool_call', input: turns[0] });
  if (!first.response.ok) throw new Error(first.response.error);
  const wall = [];
  const inference = [];
  const tools = {};
  for (let i = 0; i < Number(calls); i++) {
    const { response, ms } = await ask({ id: String(i + 1), type: 'tool_call', input: turns[i % turns.length] });
    if (!response.ok) throw new Error(response.error);
    wall.push(ms);
    inference.push(response.inferenceMs);
    const tool = response.output.slice('<start_function_call>call:'.length, response.output.indexOf('{'));
    tools[tool] = (tools[tool] || 0) + 1;
  }
  const status = fs.readFileSync(`/proc/${child.pid}/status`, 'utf8');
  const peakKb = Number(/VmHWM:\s+(\d+)/.exec(status)[1]);
  wall.sort((a, b) => a - b);
  inference.sort((a, b) => a - b);
  console.log(JSON.stringify({
    firstCallMs: Math.round(first.ms),
    steadyP50Ms: Math.round(percentile(wall, 0.5)),
    steadyP95Ms: Math.round(percentile(wall, 0.95)),
    inferenceP50Ms: percentile(inference, 0.5),
    peakMemoryMb: Math.round(peakKb / 1024),
    tools,
  }));
  child.stdin.end();
})().catch((error) => {
  console.error(error);
  child.kill();
  process.exit(1);
});
