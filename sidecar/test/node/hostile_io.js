'use strict';
// The real program behind descriptors a parent or the system makes hard:
// non-blocking pipes with a late reader or writer, a full disk, input that
// cannot be read, and a line too large for the address space left to it.
// Usage: node hostile_io.js CASE SIDECAR NONBLOCKING_EXEC
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');

const [which, sidecar, nonblockingExec] = process.argv.slice(2);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Resolves with the exit status (or signal), standard output and error.
function collect(child, { readAfterMs = 0 } = {}) {
  const out = [];
  const err = [];
  child.stderr.on('data', (chunk) => err.push(chunk));
  setTimeout(() => child.stdout.on('data', (chunk) => out.push(chunk)), readAfterMs);
  return new Promise((resolve, reject) => {
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({
      status, signal, stdout: Buffer.concat(out).toString('latin1'),
      stderr: Buffer.concat(err).toString(),
    }));
  });
}

function responses(stdout) {
  assert.ok(stdout === '' || stdout.endsWith('\n'), 'output ends inside a line');
  return stdout.split('\n').slice(0, -1).map((line) => JSON.parse(line));
}

function classification(i) {
  return `{"id":"${i}","type":"tool_call","tool":"classify_interview_turn",` +
      `"input":"okay, how do Kafka consumer groups rebalance ${'x'.repeat(i % 300)}?"}\n`;
}

const cases = {
  // 5,000 responses of about a kilobyte each, far more than the pipe holds,
  // while nobody reads for 0.6 s.
  async nonblocking_late_reader() {
    const child = spawn(nonblockingExec, ['1', sidecar]);
    const result = collect(child, { readAfterMs: 600 });
    for (let i = 0; i < 5000; ++i) child.stdin.write(classification(i));
    child.stdin.end();
    const { status, stdout, stderr } = await result;
    assert.equal(stderr, '');
    assert.equal(status, 0);
    const got = responses(stdout);
    assert.equal(got.length, 5000);
    got.forEach((response, i) => assert.equal(response.id, String(i)));
    assert.ok(got[4999].output.includes('intent_type:<escape>transition<escape>'));
  },

  // Requests arrive in bursts with pauses, on a non-blocking standard input;
  // each burst is answered before the next is written. Long lines come in
  // parts, the input running dry in the middle of them.
  async nonblocking_late_writer() {
    const child = spawn(nonblockingExec, ['0,1', sidecar]);
    const result = collect(child);
    let answered = 0;
    child.stdout.on('data', (chunk) => { answered += chunk.toString().split('\n').length - 1; });
    const long = (id) => `{"id":"${id}","type":"tool_call","input":"${'how do SQL joins work '.repeat(1 << 17)}"}\n`;
    const bursts = [
      Array.from({ length: 10 }, (_, i) => `{"id":"0.${i}","type":"status"}\n`).join(''),
      long('1.0') + long('1.1').slice(0, 1 << 20),
      long('1.1').slice(1 << 20) + long('2.0').slice(0, 1 << 21),
      long('2.0').slice(1 << 21) + '{"id":"3.0","type":"status"}\n',
    ];
    const expected = [10, 11, 12, 14];
    for (let burst = 0; burst < bursts.length; ++burst) {
      await sleep(300);
      child.stdin.write(bursts[burst]);
      for (let waited = 0; answered < expected[burst]; waited += 10) {
        assert.ok(waited < 20000, `burst ${burst} not answered`);
        await sleep(10);
      }
    }
    child.stdin.end('{"id":"last","type":"status"}');
    const { status, stdout, stderr } = await result;
    assert.equal(stderr, '');
    assert.equal(status, 0);
    const got = responses(stdout);
    assert.deepEqual(got.map((response) => response.id),
        [...Array.from({ length: 10 }, (_, i) => `0.${i}`), '1.0', '1.1', '2.0', '3.0', 'last']);
    for (const response of got.slice(10, 13)) {
      assert.ok(response.output.startsWith('<start_function_call>call:route_to_cloud_llm{' +
          'question:<escape>How do SQL joins work how do'), response.id);
      assert.ok(response.output.endsWith('<escape>,topic:<escape>sql<escape>,answer_type:' +
          '<escape>technical_interview<escape>,context_keys:[]}<end_function_call>'), response.id);
    }
  },

  // A response that cannot be written ends the program with status 2; a
  // reader that went away ends it by SIGPIPE, or with status 2 when the
  // signal is ignored; never with status 0.
  async lost_output() {
    const requests = Array.from({ length: 100 }, (_, i) => classification(i)).join('');
    const full = spawnSync('sh', ['-c', 'exec "$0" > /dev/full', sidecar], { input: requests });
    assert.equal(full.stderr.toString(), '');
    assert.equal(full.status, 2);

    const child = spawn(sidecar);
    child.stdout.destroy();
    const result = collect(child);
    child.stdin.on('error', () => {});
    for (let i = 0; i < 1000; ++i) child.stdin.write(classification(i));
    child.stdin.end();
    const { status, signal } = await result;
    assert.ok(signal === 'SIGPIPE' || status === 2, `status ${status}, signal ${signal}`);
  },

  // Input that cannot be read is not the end of input: status 3, no output.
  async read_error() {
    const result = spawnSync('sh', ['-c', 'exec "$0" < /', sidecar]);
    assert.equal(result.stderr.toString(), '');
    assert.equal(result.stdout.length, 0);
    assert.equal(result.status, 3);
  },

  // Under a 320 MiB address-space limit: lines that do not fit are answered
  // "out of memory" (with the id when it came before the bulk), skipped to
  // their end, and the lines after them answered as usual.
  async out_of_memory() {
    const child = spawn('bash', ['-c', 'ulimit -v 327680 && exec "$0"', sidecar]);
    const result = collect(child);
    const bulk = 'Kafka consumer lag and retries '.repeat(1 << 16);  // 2 MiB
    const sizes = { early: 200, late: 200, answerable: 16, replaced: 100 };
    const write = (text) => new Promise((resolve) => {
      if (child.stdin.write(text)) resolve(); else child.stdin.once('drain', resolve);
    });
    const huge = async (head, tail, mib) => {
      await write(head);
      for (let n = 0; n < mib / 2; ++n) await write(bulk);
      await write(tail);
    };
    await huge('{"id":"early","type":"tool_call","input":"', '"}\n', sizes.early);
    await write('{"id":"after","type":"status"}\n');
    await huge('{"type":"tool_call","input":"', '","id":"late"}\n', sizes.late);
    await huge('{"id":"answerable","type":"tool_call","input":"', '"}\n', sizes.answerable);
    await huge('{"id":"replaced","type":"tool_call","input":"', '"}\n', sizes.replaced);
    await write('{"id":"end","type":"status"}');
    child.stdin.end();
    const { status, stdout, stderr } = await result;
    assert.equal(stderr, '');
    assert.equal(status, 0);
    const got = responses(stdout);
    // The late id is known only when the whole line was held before memory
    // ran out, which depends on how the reads happened to grow the buffer.
    const lateId = got[2] && got[2].id === 'late' ? 'late' : '';
    assert.deepEqual(got.map((r) => r.id), ['early', 'after', lateId, 'answerable', 'replaced', 'end']);
    const oom = { ok: false, error: 'out of memory' };
    assert.deepEqual(got[0], { id: 'early', ...oom });
    assert.deepEqual(got[2], { id: lateId, ...oom });
    assert.equal(got[3].ok, true);
    assert.ok(got[3].output.startsWith('<start_function_call>call:route_to_cloud_llm{'));
    // Held whole but not answerable: the runner or the response ran short.
    assert.ok(got[4].ok === true || got[4].error === 'out of memory');
    assert.equal(got[5].output, 'stub');
  },
};

cases[which]().then(() => console.log(`${which}: ok`), (error) => {
  console.error(error);
  process.exit(1);
});
