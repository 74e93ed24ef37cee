'use strict';
// Measures the sidecar side by side with the echo floor: throughput on a
// typical request mix, time per MiB on long lines, and start-up to a first
// answer. Usage: node bench.js SIDECAR FLOOR WORKDIR
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const [sidecar, floor, workdir] = process.argv.slice(2);
const ROUNDS = 5;

let seed = 7;
function random(n) {
  seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
  return (seed >>> 8) % n;
}

const WORDS = ['how', 'does', 'a', 'Kafka', 'consumer', 'group', 'rebalance', 'what', 'is', 'the',
  'difference', 'between', 'SQL', 'joins', 'and', 'React', 'hooks', 'in', 'Spring', 'Boot', 'on',
  'AWS', 'your', 'last', 'project', 'design', 'REST', 'API', 'caching', 'latency', 'okay', 'then'];
function sentence(min, max) {
  const length = min + random(max - min + 1);
  let text = '';
  while (text.length < length) text += (text ? ' ' : '') + WORDS[random(WORDS.length)];
  return text.slice(0, length).trimEnd() + '?';
}

function typicalMix(count) {
  const lines = [];
  for (let i = 0; i < count; ++i) {
    const id = `req-${i}`;
    switch (i % 5) {
      case 0: lines.push(`{"id":"${id}","type":"status"}`); break;
      case 1: lines.push(`{"id":"${id}","type":"tool_call","input":"summarize: ${sentence(20, 190)}"}`); break;
      case 2: lines.push(`{"id":"${id}","type":"tool_call","input":"save this: ${sentence(20, 190)}"}`); break;
      case 3: lines.push(`{"id":"${id}","type":"tool_call","modelPath":"/m/stub.gguf","backend":"cpu","input":"${sentence(30, 200)}"}`); break;
      default: lines.push(`{"id":"${id}","type":"tool_call","tool":"classify_interview_turn","input":"${sentence(30, 200)}"}`);
    }
  }
  return lines.join('\n') + '\n';
}

// Seconds for `command < file`, its output drained through a pipe.
function timeRun(command, file) {
  const started = process.hrtime.bigint();
  const result = spawnSync('sh', ['-c', `${command} < "$0" | cat > /dev/null`, file]);
  if (result.status !== 0) throw new Error(`${command} failed: ${result.stderr}`);
  return Number(process.hrtime.bigint() - started) / 1e9;
}

// Best of ROUNDS for each command, taken in turns so that all see the same
// load.
function compare(commands, file) {
  const best = Object.fromEntries(Object.keys(commands).map((name) => [name, Infinity]));
  for (let round = 0; round < ROUNDS; ++round) {
    for (const [name, command] of Object.entries(commands)) {
      best[name] = Math.min(best[name], timeRun(command, file));
    }
  }
  return best;
}

function firstAnswer(program) {
  return new Promise((resolve, reject) => {
    const started = process.hrtime.bigint();
    const child = spawn(program, [], { stdio: ['pipe', 'pipe', 'ignore'] });
    child.on('error', reject);
    child.stdout.once('data', () => {
      resolve(Number(process.hrtime.bigint() - started) / 1e6);
      child.stdin.end();
    });
    child.stdin.write('{"id":"1","type":"status"}\n');
  });
}

async function main() {
  fs.mkdirSync(workdir, { recursive: true });

  const mix = path.join(workdir, 'mix.jsonl');
  fs.writeFileSync(mix, typicalMix(200000));
  // A second floor writes lines as long as the sidecar's responses on average.
  const answered = spawnSync(sidecar, [], { input: fs.readFileSync(mix), maxBuffer: 2 ** 30 });
  const meanLength = Math.round(answered.stdout.length / 200000);
  const t = compare({
    floor: `"${floor}"`,
    paddedFloor: `"${floor}" ${meanLength}`,
    sidecar: `"${sidecar}"`,
  }, mix);
  console.log(`throughput, 200000 typical requests (best of ${ROUNDS}):`);
  console.log(`  sidecar ${t.sidecar.toFixed(3)} s; floor ${t.floor.toFixed(3)} s, ratio ` +
      `${(t.sidecar / t.floor).toFixed(2)}; floor writing ${meanLength}-byte lines like the ` +
      `sidecar ${t.paddedFloor.toFixed(3)} s, ratio ${(t.sidecar / t.paddedFloor).toFixed(2)}`);

  console.log('long lines (tool_call, whole input of the given size), ms per MiB:');
  for (const size of [1 << 10, 1 << 16, 1 << 20, 1 << 23, 1 << 26]) {
    const file = path.join(workdir, `long-${size}.jsonl`);
    const input = 'Kafka consumer lag and retries '.repeat(Math.ceil(size / 31)).slice(0, size);
    const line = `{"id":"long","type":"tool_call","input":"${input}"}\n`;
    const count = Math.max(1, Math.floor((64 << 20) / size));
    fs.writeFileSync(file, line.repeat(count));
    const c = compare({ floor: `"${floor}"`, sidecar: `"${sidecar}"` }, file);
    const mib = (line.length * count) / (1 << 20);
    console.log(`  ${String(size).padStart(9)} B x ${String(count).padStart(5)}: ` +
        `sidecar ${(c.sidecar * 1000 / mib).toFixed(1)} ms/MiB, ` +
        `floor ${(c.floor * 1000 / mib).toFixed(1)} ms/MiB`);
    fs.unlinkSync(file);
  }

  const starts = { floor: [], sidecar: [] };
  for (let i = 0; i < 100; ++i) {
    starts.floor.push(await firstAnswer(floor));
    starts.sidecar.push(await firstAnswer(sidecar));
  }
  const median = (values) => values.sort((a, b) => a - b)[values.length >> 1];
  const [f, s] = [median(starts.floor), median(starts.sidecar)];
  console.log(`start-up to a first status answer (median of 100): floor ${f.toFixed(2)} ms, ` +
      `sidecar ${s.toFixed(2)} ms, ratio ${(s / f).toFixed(2)}`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
