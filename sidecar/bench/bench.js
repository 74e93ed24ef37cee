'use strict';
// Measures the sidecar side by side with the echo floor, and with an earlier
// build of itself when given one: throughput on a typical request mix, time
// per MiB on long lines, instructions per request, the round trip of one
// request at a time, start-up to a first answer, peak memory on a 64 MiB
// line and the glibc symbol versions the program needs.
// Usage: node bench.js SIDECAR FLOOR WORKDIR [BEFORE]
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const [sidecar, floor, workdir, before] = process.argv.slice(2);
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
    ...(before ? { before: `"${before}"` } : {}),
  }, mix);
  console.log(`throughput, 200000 typical requests (best of ${ROUNDS}):`);
  console.log(`  sidecar ${t.sidecar.toFixed(3)} s; floor ${t.floor.toFixed(3)} s, ratio ` +
      `${(t.sidecar / t.floor).toFixed(2)}; floor writing ${meanLength}-byte lines like the ` +
      `sidecar ${t.paddedFloor.toFixed(3)} s, ratio ${(t.sidecar / t.paddedFloor).toFixed(2)}`);
  if (before) {
    console.log(`  before ${t.before.toFixed(3)} s, ratio to the floor ` +
        `${(t.before / t.floor).toFixed(2)}; after/before ${(t.sidecar / t.before).toFixed(2)}`);
  }

  console.log('long lines (tool_call, whole input of the given size), ms per MiB:');
  for (const size of [1 << 10, 1 << 16, 1 << 20, 1 << 23, 1 << 26]) {
    const file = path.join(workdir, `long-${size}.jsonl`);
    const input = 'Kafka consumer lag and retries '.repeat(Math.ceil(size / 31)).slice(0, size);
    const line = `{"id":"long","type":"tool_call","input":"${input}"}\n`;
    const count = Math.max(1, Math.floor((64 << 20) / size));
    fs.writeFileSync(file, line.repeat(count));
    const c = compare({
      floor: `"${floor}"`,
      sidecar: `"${sidecar}"`,
      ...(before ? { before: `"${before}"` } : {}),
    }, file);
    const mib = (line.length * count) / (1 << 20);
    const perMib = (seconds) => `${(seconds * 1000 / mib).toFixed(1)} ms/MiB`;
    console.log(`  ${String(size).padStart(9)} B x ${String(count).padStart(5)}: ` +
        `sidecar ${perMib(c.sidecar)}, floor ${perMib(c.floor)}` +
        (before ? `, before ${perMib(c.before)}, MB/s after/before ` +
            `${(c.before / c.sidecar).toFixed(2)}` : ''));
    fs.unlinkSync(file);
  }

  const programs = { floor, sidecar, ...(before ? { before } : {}) };

  // Instructions per request on the same mix, counted by callgrind.
  if (spawnSync('valgrind', ['--version']).status === 0) {
    const small = path.join(workdir, 'mix-small.jsonl');
    fs.writeFileSync(small, typicalMix(20000));
    const counts = Object.entries(programs).map(([name, program]) => {
      const run = spawnSync('sh', ['-c',
        `valgrind --tool=callgrind --callgrind-out-file=/dev/null "${program}" < "$0" > /dev/null`,
        small]);
      const collected = /Collected : (\d+)/.exec(run.stderr.toString());
      return `${name} ${collected ? Math.round(Number(collected[1]) / 20000) : '?'}`;
    });
    console.log(`instructions per request, 20000 typical requests: ${counts.join(', ')}`);
  } else {
    console.log('instructions per request: skipped, valgrind is not installed');
  }

  // One request at a time: each is written only once the last was answered.
  const pingPongs = {};
  for (const [name, program] of Object.entries(programs)) {
    pingPongs[name] = await pingPong(program, 2000);
  }
  console.log('round trip of one request at a time (median of 2000): ' +
      Object.entries(pingPongs).map(([name, us]) => `${name} ${us.toFixed(1)} us`).join(', ') +
      `; ratio ${(pingPongs.sidecar / pingPongs.floor).toFixed(2)}`);

  // Peak resident memory for one 64 MiB line, as a multiple of its size.
  if (fs.existsSync('/usr/bin/time')) {
    const input = 'Kafka consumer lag and retries '.repeat(Math.ceil((1 << 26) / 31)).slice(0, 1 << 26);
    const shapes = {
      route: `{"id":"long","type":"tool_call","input":"${input}"}\n`,
      classification: `{"id":"long","type":"tool_call","tool":"classify_interview_turn",` +
          `"input":"${input}"}\n`,
    };
    for (const [shape, line] of Object.entries(shapes)) {
      const file = path.join(workdir, 'long-peak.jsonl');
      fs.writeFileSync(file, line);
      const peaks = Object.entries({ sidecar, ...(before ? { before } : {}) }).map(([name, program]) => {
        const run = spawnSync('sh', ['-c', `/usr/bin/time -f %M "${program}" < "$0" > /dev/null`, file]);
        const kib = Number(run.stderr.toString().trim().split('\n').pop());
        return `${name} ${(kib * 1024 / line.length).toFixed(2)}x`;
      });
      console.log(`peak resident memory, one 64 MiB ${shape} line: ${peaks.join(', ')}`);
      fs.unlinkSync(file);
    }
  } else {
    console.log('peak resident memory: skipped, /usr/bin/time is not installed');
  }

  const versions = spawnSync('objdump', ['-T', sidecar]).stdout.toString().match(/GLIBC_[0-9.]+/g);
  const sorted = [...new Set(versions ?? [])].sort((a, b) =>
    a.slice(6).localeCompare(b.slice(6), undefined, { numeric: true }));
  console.log(`glibc symbol versions needed: ${sorted.join(' ')}`);

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

// Median microseconds from writing one status request to reading its answer.
function pingPong(program, count) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, [], { stdio: ['pipe', 'pipe', 'ignore'] });
    child.on('error', reject);
    const times = [];
    let started = 0n;
    let received = '';
    const send = () => {
      started = process.hrtime.bigint();
      child.stdin.write(`{"id":"${times.length}","type":"status"}\n`);
    };
    child.stdout.on('data', (chunk) => {
      received += chunk;
      if (!received.endsWith('\n')) return;
      received = '';
      times.push(Number(process.hrtime.bigint() - started) / 1e3);
      if (times.length < count) return send();
      child.stdin.end();
      times.sort((a, b) => a - b);
      resolve(times[times.length >> 1]);
    });
    send();
  });
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
