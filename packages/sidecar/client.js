'use strict';
// A small client of the sidecar's line protocol, the way the desktop shell
// talks to it: one child process, one JSON request per line on its standard
// input, one JSON response per line on its standard output, paired by `id`.
//
// The sidecar answers strictly in request order, so a response line that
// cannot be paired by its id (a broken line, an empty id) belongs to the
// oldest request still waiting. A child that exits while requests wait fails
// them and is started again for the next request, up to `maxRestarts` times.

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

class SidecarClient extends EventEmitter {
  constructor({ command, args = [], model, threads, env, timeoutMs = 5000, maxRestarts = 3 } = {}) {
    super();
    if (!command) throw new TypeError('SidecarClient needs the sidecar program as `command`');
    this.command = command;
    // `model` makes a GGUF file the runner of every tool call (--model);
    // `threads` sets how many threads it computes on (--threads).
    this.args = [...args];
    if (model !== undefined) this.args.push('--model', String(model));
    if (threads !== undefined) this.args.push('--threads', String(threads));
    this.env = env;
    this.timeoutMs = timeoutMs;
    this.maxRestarts = maxRestarts;
    this.restarts = 0;
    this.child = null;
    this.nextId = 1;
    this.pending = new Map();  // id -> { resolve, reject, timer }, in request order
    this.closing = false;
  }

  // Starts the child now; request() also starts it on demand.
  start() {
    if (this.child) return this;
    if (this.closing) throw new SidecarError('sidecar client is closed', 'ECLOSED');
    const child = spawn(this.command, this.args, { env: this.env, stdio: ['pipe', 'pipe', 'inherit'] });
    this.child = child;
    child.stdout.setEncoding('utf8');
    const splitter = lineSplitter((line) => this.onLine(line));
    child.stdout.on('data', (text) => splitter.push(text));
    child.stdout.on('end', () => splitter.flush());
    // A write to a child that has just died fails with EPIPE; its exit is
    // handled below, so the write error itself carries no news.
    child.stdin.on('error', () => {});
    child.on('error', (error) => this.onExit(child, error));
    child.on('close', (code, signal) => this.onExit(child, null, code, signal));
    this.emit('spawn', child.pid);
    return this;
  }

  // Sends one request object (an `id` is assigned when it has none) and
  // resolves with the parsed response, whatever its "ok". Rejects with a
  // SidecarError: ETIMEDOUT, ESIDECAREXIT, EPROTO or ECLOSED.
  request(fields, { timeoutMs = this.timeoutMs } = {}) {
    if (this.closing) return Promise.reject(new SidecarError('sidecar client is closed', 'ECLOSED'));
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
    if (response && typeof response.id === 'string' && this.pending.has(response.id)) {
      id = response.id;
    } else if (this.pending.size > 0) {
      id = this.pending.keys().next().value;
    }
    if (id !== null) {
      entry = this.pending.get(id);
      this.pending.delete(id);
      clearTimeout(entry.timer);
    }
    if (!entry) {
      // An answer to a request that already timed out.
      this.emit('orphan', line);
      return;
    }
    if (response === null || typeof response !== 'object') {
      entry.reject(new SidecarError(`sidecar wrote a line that is not JSON: ${line}`, 'EPROTO'));
    } else {
      entry.resolve(response);
    }
  }

  onExit(child, error, code, signal) {
    if (this.child !== child) return;
    this.child = null;
    const why = error ? error.message : signal ? `signal ${signal}` : `status ${code}`;
    for (const [, entry] of this.pending) {
      clearTimeout(entry.timer);
      entry.reject(new SidecarError(`sidecar exited (${why}) before answering`, 'ESIDECAREXIT'));
    }
    this.pending.clear();
    if (this.closing) {
      this.emit('exit', code, signal);
      return;
    }
    if (this.restarts >= this.maxRestarts) {
      this.closing = true;
      this.emit('exit', code, signal);
      return;
    }
    this.restarts++;
    this.emit('restart', why);
    // Spawn failures (a missing program) must not restart forever.
    if (!error) this.start();
    else this.closing = true;
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
