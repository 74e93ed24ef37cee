'use strict';
// The sidecar client against a scripted stand-in (time-outs, crashes, broken
// lines) and, when PARLANTO_SIDECAR names the built program, against the
// real sidecar.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { SidecarClient, lineSplitter, parseFunctionCall, formatFunctionCall } =
  require('../index.js');

// Answers {"id","ok":true,"output":input}; "hang" is never answered, "crash"
// ends the process, "garbage" gets a line that is not JSON, "noid" a response
// with an empty id. Each start prints its pid as the output of "pid".
const standIn = `
const rl = require('node:readline').createInterface({ input: process.stdin });
rl.on('line', (line) => {
  const req = JSON.parse(line);
  if (req.input === 'hang') return;
  if (req.input === 'crash') process.exit(3);
  if (req.input === 'garbage') { process.stdout.write('not json\\n'); return; }
  const id = req.input === 'noid' ? '' : req.id;
  const output = req.input === 'pid' ? String(process.pid) : req.input;
  process.stdout.write(JSON.stringify({ id, ok: true, output, inferenceMs: 0 }) + '\\n');
});`;

function standInClient(options = {}) {
  return new SidecarClient({ command: process.execPath, args: ['-e', standIn], ...options });
}

// Answers like the sidecar, one request at a time in the order they came,
// each `delay` ms (a request field) after it was taken up.
const slowStandIn = `
const rl = require('node:readline').createInterface({ input: process.stdin });
let queue = Promise.resolve();
rl.on('line', (line) => {
  const req = JSON.parse(line);
  queue = queue.then(() => new Promise((resolve) => setTimeout(() => {
    process.stdout.write(JSON.stringify({ id: req.id, ok: true, output: req.input, inferenceMs: 0 }) + '\\n');
    resolve();
  }, req.delay || 0)));
});`;

function slowClient(options = {}) {
  return new SidecarClient({ command: process.execPath, args: ['-e', slowStandIn], ...options });
}

test('line splitter keeps partial lines and a trailing carriage return', () => {
  const lines = [];
  const splitter = lineSplitter((line) => lines.push(line));
  splitter.push('a\nb');
  splitter.push('c\r\n\n');
  splitter.push('last');
  splitter.flush();
  assert.deepEqual(lines, ['a', 'bc\r', '', 'last']);
});

test('responses pair by id even when the caller awaits them out of order', async () => {
  const client = standInClient();
  try {
    const replies = await Promise.all(['one', 'two', 'three'].map((input) => client.toolCall(input)));
    assert.deepEqual(replies.map((r) => r.output), ['one', 'two', 'three']);
    assert.deepEqual(replies.map((r) => r.id), ['1', '2', '3']);
  } finally {
    await client.close();
  }
});

test('a lost answer times out without blocking the next request; broken lines fail their request', async () => {
  const client = standInClient();
  try {
    // Once the child runs, a short time-out can only be the lost answer's.
    await client.status();
    const hung = client.toolCall('hang', { timeoutMs: 200 });
    const after = client.toolCall('after');
    await assert.rejects(hung, { code: 'ETIMEDOUT' });
    assert.equal((await after).output, 'after');
    await assert.rejects(client.toolCall('garbage'), { code: 'EPROTO' });
    // An empty id belongs to the oldest waiting request.
    assert.equal((await client.toolCall('noid')).output, 'noid');
  } finally {
    await client.close();
  }
});

test('a crash fails the waiting requests and the next request runs on a new child', async () => {
  const client = standInClient({ maxRestarts: 1 });
  const restarts = [];
  const exits = [];
  client.on('restart', (why) => restarts.push(why));
  client.on('exit', (...args) => exits.push(args));
  try {
    const firstPid = (await client.toolCall('pid')).output;
    await assert.rejects(client.toolCall('crash'), { code: 'ESIDECAREXIT' });
    const secondPid = (await client.toolCall('pid')).output;
    assert.notEqual(secondPid, firstPid);
    assert.deepEqual(restarts, ['status 3']);
    // The restart budget of the minute is spent: the next crash closes the client.
    await assert.rejects(client.toolCall('crash'), { code: 'ESIDECAREXIT' });
    await assert.rejects(client.toolCall('pid'), { code: 'ECLOSED' });
    assert.deepEqual(exits, [[3, null, null]]);
  } finally {
    await client.close();
  }
});

test('a late answer is an orphan and never resolves the request sent after it, whatever ids they carry', async () => {
  const client = slowClient();
  const orphans = [];
  client.on('orphan', (line) => orphans.push(JSON.parse(line)));
  try {
    await client.status();
    const slow = client.request({ type: 'tool_call', input: 'A', delay: 300 }, { timeoutMs: 100 });
    await assert.rejects(slow, { code: 'ETIMEDOUT' });
    assert.equal((await client.request({ type: 'tool_call', input: 'B' })).output, 'B');
    assert.deepEqual(orphans.map((o) => o.output), ['A']);
    // An id of the caller's own, used again after its first request timed out:
    // the first answer is the timed-out one's.
    await assert.rejects(client.request({ id: 'x', input: 'x1', delay: 300 }, { timeoutMs: 100 }), { code: 'ETIMEDOUT' });
    assert.equal((await client.request({ id: 'x', input: 'x2' })).output, 'x2');
    assert.deepEqual(orphans.map((o) => o.output), ['A', 'x1']);
  } finally {
    await client.close();
  }
});

test('time-outs that are not a positive number of milliseconds that a timer can hold are refused', async () => {
  for (const timeoutMs of [0, -5, Infinity, 2 ** 31, NaN]) {
    assert.throws(() => standInClient({ timeoutMs }), RangeError, String(timeoutMs));
  }
  for (const timeoutMs of ['x', '100', null]) {
    assert.throws(() => standInClient({ timeoutMs }), TypeError, String(timeoutMs));
  }
  assert.throws(() => standInClient({ maxRestarts: -1 }), RangeError);
  const client = standInClient({ timeoutMs: 2 ** 31 - 1 });
  try {
    await assert.rejects(client.status({ timeoutMs: 0 }), RangeError);
    assert.equal(client.child, null, 'a refused request starts nothing');
    assert.equal((await client.toolCall('fine')).output, 'fine');
  } finally {
    await client.close();
  }
});

test('a program that cannot be started says why to every request and ends the client without a restart', async () => {
  const client = new SidecarClient({ command: path.join(__dirname, 'no-such-program') });
  const events = [];
  for (const name of ['spawn', 'restart', 'exit']) client.on(name, (...args) => events.push([name, ...args]));
  await assert.rejects(client.status(), (error) => {
    assert.equal(error.code, 'ESIDECAREXIT');
    assert.match(error.message, /ENOENT/);
    assert.equal(error.cause.code, 'ENOENT');
    return true;
  });
  await assert.rejects(client.status(), (error) => {
    assert.equal(error.code, 'ECLOSED');
    assert.match(error.message, /could not be started.*ENOENT/);
    return true;
  });
  await new Promise((resolve) => setImmediate(resolve));
  assert.deepEqual(events.map((e) => e[0]), ['exit']);
  assert.equal(events[0][3].code, 'ENOENT');
});

test('restarts are counted over a sliding window, so crashes spread over time never use the budget up', async () => {
  const client = standInClient({ maxRestarts: 1, restartWindowMs: 300 });
  const exits = [];
  client.on('exit', (...args) => exits.push(args));
  try {
    for (let crash = 0; crash < 3; crash++) {
      await assert.rejects(client.toolCall('crash'), { code: 'ESIDECAREXIT' });
      assert.equal((await client.toolCall('ok')).output, 'ok');
      await new Promise((resolve) => setTimeout(resolve, 350));
    }
    assert.equal(client.restarts, 3);
    assert.deepEqual(exits, []);
  } finally {
    await client.close();
  }
});

test('function calls parse with markers, commas and braces inside values', () => {
  const text = '<start_function_call>call:classify_interview_turn{text:<escape>a, {b}: c<escape>,' +
    'should_respond:false,clean_question:<escape><escape>,confidence:0.78,context_keys:[]}<end_function_call>';
  assert.deepEqual(parseFunctionCall(text), {
    name: 'classify_interview_turn',
    args: { text: 'a, {b}: c', should_respond: false, clean_question: '', confidence: 0.78, context_keys: [] },
  });
  assert.equal(parseFunctionCall('stub'), null);
  assert.match(formatFunctionCall(text), /^ {2}classify_interview_turn\n {4}text: "a, \{b\}: c"\n/);
});

test('a model and its threads become the program\'s arguments', () => {
  const client = new SidecarClient({ command: 'sidecar', args: ['--x'], model: '/m/a.gguf', threads: 2 });
  assert.deepEqual(client.args, ['--x', '--model', '/m/a.gguf', '--threads', '2']);
  assert.deepEqual(new SidecarClient({ command: 'sidecar' }).args, []);
});

test('a model\'s lists of strings parse as lists', () => {
  const text = '<start_function_call>call:route_to_cloud_llm{question:<escape>q<escape>,topic:<escape>t<escape>,' +
    'answer_type:<escape>a<escape>,context_keys:[<escape>resume<escape>,<escape>x, ]y<escape>]}<end_function_call>';
  assert.deepEqual(parseFunctionCall(text).args.context_keys, ['resume', 'x, ]y']);
  assert.equal(parseFunctionCall(text.replace(']}', '}')), null);
});

test('the real sidecar answers status and both kinds of tool call', { skip: !process.env.PARLANTO_SIDECAR }, async () => {
  const client = new SidecarClient({ command: process.env.PARLANTO_SIDECAR });
  try {
    assert.deepEqual(await client.status(), { id: '1', ok: true, output: 'stub', inferenceMs: 0 });
    const routed = await client.toolCall('What is a React hook?');
    assert.deepEqual(parseFunctionCall(routed.output), {
      name: 'route_to_cloud_llm',
      args: { question: 'What is a React hook', topic: 'react', answer_type: 'technical_interview', context_keys: [] },
    });
    const classified = await client.toolCall("Okay, let's move on to SQL.", { tool: 'classify_interview_turn' });
    const call = parseFunctionCall(classified.output);
    assert.equal(call.name, 'classify_interview_turn');
    assert.equal(call.args.intent_type, 'transition');
    assert.equal(call.args.topic, 'sql');
    assert.equal(call.args.text, "Okay, let's move on to SQL.");
    assert.deepEqual(await client.toolCall(''), { id: '4', ok: false, error: 'missing input' });
  } finally {
    await client.close();
  }
});
