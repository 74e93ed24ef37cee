'use strict';
// A small client of the sidecar's line protocol, the way the desktop shell
// talks to it: one child process, one JSON request per line on its standard
// input, one JSON response per line on its standard output, paired by `id`.
//
// The sidecar answers strictly in request order, so a response line that
// cannot be paired by its id (a broken line, an empty id) belongs to the
// oldest request still waiting. An answer that carries the id of a request
// that timed out is that request's, late: it is an orphan, never another
// request's answer. A child that exits while requests wait fails them and is
// started again for the next request, up to `maxRestarts` times within
// `restartWindowMs`; a program that cannot be started at all ends the client.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');

class SidecarError extends Error {
  constructor(message, code, response) {
    super(message);
    this.name = 'SidecarError';
    this.code = code;
    if (response !== undefined) this.response = response;
  }
}

// Splits a byte stream into lines; a trailing "\r" stays part of the line,
// as it does for the sidecar itself.
function lineSplitter(onLine) {
  let pending = '';
  return {
    push(text) {
      pending += text;
      let newline;
      while ((newline = pending.indexOf('\n')) !== -1) {
        const line = pending.slice(0, newline);
        pending = pending.slice(newline + 1);
        onLine(line);
      }
    },
    flush() {
      if (pending.length > 0) {
        const line = pending;
        pending = '';
        onLine(line);
      }
    },
  };
}

// setTimeout() takes at most 2^31 - 1 ms; beyond that Node warns and fires at once.
const MAX_TIMEOUT_MS = 2 ** 31 - 1;
// Ids of timed-out requests whose answers are still owed; beyond this many the
// oldest are forgotten (a program that never answers must not grow the client).
const MAX_LATE_IDS = 1024;

function checkDuration(value, name) {
  if (typeof value !== 'number') {
    throw new TypeError(`${name} must be a number of milliseconds, not ${value === null ? 'null' : typeof value}`);
  }
  if (!(value > 0) || value > MAX_TIMEOUT_MS) {
    throw new RangeError(`${name} must be more than 0 and at most ${MAX_TIMEOUT_MS} ms, not ${value}`);
  }
  return value;
}

class SidecarClient extends EventEmitter {
  constructor({ command, args = [], model, threads, env, timeoutMs = 5000, maxRestarts = 3, restartWindowMs = 60000 } = {}) {
    super();
    if (!command) throw new TypeError('SidecarClient needs the sidecar program as `command`');
    if (!Number.isInteger(maxRestarts) || maxRestarts < 0) {
      throw new RangeError(`maxRestarts must be a whole number, 0 or more, not ${String(maxRestarts)}`);
    }
    this.command = command;
    // `model` makes a GGUF file the runner of every tool call (--model);
    // `threads` sets how many threads it computes on (--threads).
    this.args = [...args];
    if (model !== undefined) this.args.push('--model', String(model));
    if (threads !== undefined) this.args.push('--threads', String(threads));
    this.env = env;
    this.timeoutMs = checkDuration(timeoutMs, 'timeoutMs');
    this.maxRestarts = maxRestarts;
    this.restartWindowMs = checkDuration(restartWindowMs, 'restartWindowMs');
    this.restarts = 0;
    this.restartTimes = [];  // when each restart within the window happened
    this.child = null;
    this.nextId = 1;
    this.pending = new Map();  // id -> { resolve, reject, timer }, in request order
    this.late = new Map();     // id -> answers owed to timed-out requests, oldest first
    this.closing = false;
    this.failure = null;       // why the client stopped for good, when the program could not start
  }

  // Starts the child now; request() also starts it on demand.
  start() {
    if (this.child) return this;
    if (this.closing) throw this.closedError();
    const child = spawn(this.command, this.args, { env: this.env, stdio: ['pipe', 'pipe', 'inherit'] });
    this.child = child;
    this.late.clear();  // a new program owes nothing to the old one's requests
    child.stdout.setEncoding('utf8');
    const splitter = lineSplitter((line) => this.onLine(line));
    child.stdout.on('data', (text) => splitter.push(text));
    child.stdout.on('end', () => splitter.flush());
    // A write to a child that has just died fails with EPIPE; its exit is
    // handled below, so the write error itself carries no news.
    child.stdin.on('error', () => {});
    child.on('error', (error) => this.onExit(child, error));
    child.on('close', (code, signal) => this.onExit(child, null, code, signal));
    child.on('spawn', () => this.emit('spawn', child.pid));
    return this;
  }

  closedError() {
    if (!this.failure) return new SidecarError('sidecar client is closed', 'ECLOSED');
    const error = new SidecarError(`sidecar client is closed: the program could not be started (${this.failure.message})`,
                                   'ECLOSED');
    error.cause = this.failure;
    return error;
  }

  // Sends one request object (an `id` is assigned when it has none) and
  // resolves with the parsed response, whatever its "ok". Rejects with a
  // SidecarError: ETIMEDOUT, ESIDECAREXIT, EPROTO or ECLOSED.
  request(fields, { timeoutMs = this.timeoutMs } = {}) {
    try {
      checkDuration(timeoutMs, 'timeoutMs');
    } catch (error) {
      return Promise.reject(error);
    }
    if (this.closing) return Promise.reject(this.closedError());
    if (!this.child) {
      try {
        this.start();
      } catch (error) {
        return Promise.reject(error);
      }
    }
    const id = fields.id !== undefined ? String(fields.id) : String(this.nextId++);
    if (this.pending.has(id)) {
      return Promise.reject(new SidecarError(`request id ${id} is already waiting`, 'EDUPID'));
    }
    const line = JSON.stringify({ ...fields, id });
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        this.late.set(id, (this.late.get(id) || 0) + 1);
        if (this.late.size > MAX_LATE_IDS) this.late.delete(this.late.keys().next().value);
        reject(new SidecarError(`sidecar did not answer request ${id} within ${timeoutMs} ms`,
                                'ETIMEDOUT'));
      }, timeoutMs);
      this.pending.set(id, { resolve, reject, timer });
      this.child.stdin.write(line + '\n');
    });
  }

  status(options) {
    return this.request({ type: 'status' }, options);
  }

  // A tool call for one utterance. `tool` names the tool the caller wants
  // ("classify_interview_turn" asks for the classification of the turn); the
  // sidecar finds it anywhere on the request line.
  toolCall(input, { tool, modelPath, backend, timeoutMs } = {}) {
    const fields = { type: 'tool_call' };
    if (tool !== undefined) fields.tool = tool;
    if (modelPath !== undefined) fields.modelPath = modelPath;
    if (backend !== undefined) fields.backend = backend;
    fields.input = input;
    return this.request(fields, { timeoutMs });
  }

  // Ends the child's input and waits for it to exit; waiting requests fail.
  close() {
    this.closing = true;
    const child = this.child;
    if (!child) return Promise.resolve();
    return new Promise((resolve) => {
      child.once('close', () => resolve());
      child.stdin.end();
    });
  }

  onLine(line) {
    let response;
    try {
      response = JSON.parse(line);
    } catch {
      response = null;
    }
    let entry = null;
    let id = null;
    const known = response && typeof response.id === 'string' && response.id !== '' ? response.id : null;
    // A request with this id timed out earlier than any still waiting with it
    // was sent, so in request order this answer is the timed-out one's.
    const owed = known !== null ? this.late.get(known) : undefined;
    if (owed !== undefined) {
      if (owed > 1) this.late.set(known, owed - 1);
      else this.late.delete(known);
      this.emit('orphan', line);
      return;
    }
    if (known !== null && this.pending.has(known)) {
      id = known;
    } else if (this.pending.size > 0) {
      id = this.pending.keys().next().value;
    }
    if (id !== null) {
      entry = this.pending.get(id);
      this.pending.delete(id);
      clearTimeout(entry.timer);
    }
    if (!entry) {
      // Nothing waits: an answer to a request that already timed out.
      this.emit('orphan', line);
      return;
    }
    if (response === null || typeof response !== 'object') {
      entry.reject(new SidecarError(`sidecar wrote a line that is not JSON: ${line}`, 'EPROTO'));
    } else {
      entry.resolve(response);
    }
  }

  // `error` is the child's 'error' event: the program could not be started
  // (ENOENT, EACCES), or could not be signalled. Its 'close' follows and is
  // ignored.
  onExit(child, error, code, signal) {
    if (this.child !== child) return;
    this.child = null;
    this.late.clear();
    const notStarted = error && child.pid === undefined;
    const why = notStarted ? `could not be started: ${error.message}` : error ? error.message
      : signal ? `signal ${signal}` : `status ${code}`;
    for (const [, entry] of this.pending) {
      clearTimeout(entry.timer);
      const failure = new SidecarError(notStarted ? `sidecar ${why}` : `sidecar exited (${why}) before answering`,
                                       'ESIDECAREXIT');
      if (error) failure.cause = error;
      entry.reject(failure);
    }
    this.pending.clear();
    if (notStarted) {
      // Starting again would fail the same way: the client ends here, and
      // later requests say why.
      this.failure = error;
    }
    const now = Date.now();
    this.restartTimes = this.restartTimes.filter((at) => now - at < this.restartWindowMs);
    if (this.closing || notStarted || this.restartTimes.length >= this.maxRestarts) {
      this.closing = true;
      this.emit('exit', code ?? null, signal ?? null, error ?? null);
      return;
    }
    this.restarts++;
    this.restartTimes.push(now);
    this.emit('restart', why);
    this.start();
  }
}

// Reads "<start_function_call>call:NAME{name:value,...}<end_function_call>".
// String values sit between two "<escape>" markers and may contain anything,
// commas and braces included; a list holds such strings between brackets;
// bare values (booleans, numbers, []) end at the next comma. Returns { name, args } or null when the text is not a call.
function parseFunctionCall(text) {
  const head = '<start_function_call>call:';
  const tail = '<end_function_call>';
  const marker = '<escape>';
  if (typeof text !== 'string' || !text.startsWith(head) || !text.endsWith(tail)) return null;
  const body = text.slice(head.length, text.length - tail.length);
  const open = body.indexOf('{');
  if (open <= 0 || !body.endsWith('}')) return null;
  const name = body.slice(0, open);
  const inner = body.slice(open + 1, -1);
  const args = {};
  let at = 0;
  while (at < inner.length) {
    const colon = inner.indexOf(':', at);
    if (colon === -1) return null;
    const key = inner.slice(at, colon);
    let value;
    let next;
    if (inner.startsWith(marker, colon + 1)) {
      const start = colon + 1 + marker.length;
      // The closing marker is the one followed by "," + a key or by the end.
      let close = inner.indexOf(marker, start);
      while (close !== -1) {
        const after = close + marker.length;
        if (after === inner.length || /^,[a-z_]+:/.test(inner.slice(after, after + 64))) break;
        close = inner.indexOf(marker, close + 1);
      }
      if (close === -1) return null;
      value = inner.slice(start, close);
      next = close + marker.length;
    } else if (inner.startsWith('[' + marker, colon + 1)) {
      // A list of strings, each between markers: [<escape>a<escape>,...].
      value = [];
      next = colon + 2;
      for (;;) {
        if (!inner.startsWith(marker, next)) return null;
        const close = inner.indexOf(marker, next + marker.length);
        if (close === -1) return null;
        value.push(inner.slice(next + marker.length, close));
        next = close + marker.length;
        if (inner[next] === ']') break;
        if (inner[next] !== ',') return null;
        next++;
      }
      next++;
    } else {
      const comma = inner.indexOf(',', colon + 1);
      const end = comma === -1 ? inner.length : comma;
      const bare = inner.slice(colon + 1, end);
      if (bare === 'true' || bare === 'false') value = bare === 'true';
      else if (bare === '[]') value = [];
      else if (bare !== '' && !Number.isNaN(Number(bare))) value = Number(bare);
      else value = bare;
      next = end;
    }
    args[key] = value;
    if (next < inner.length) {
      if (inner[next] !== ',') return null;
      next++;
    }
    at = next;
  }
  return { name, args };
}

// One call as a person reads it: the tool, then one argument a line.
function formatFunctionCall(text, indent = '  ') {
  const call = parseFunctionCall(text);
  if (!call) return `${indent}${text}`;
  const lines = [`${indent}${call.name}`];
  for (const [key, value] of Object.entries(call.args)) {
    const shown = typeof value === 'string' || Array.isArray(value) ? JSON.stringify(value) : String(value);
    lines.push(`${indent}  ${key}: ${shown}`);
  }
  return lines.join('\n');
}

module.exports = { SidecarClient, SidecarError, lineSplitter, parseFunctionCall, formatFunctionCall };
