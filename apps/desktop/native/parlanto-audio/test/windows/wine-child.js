'use strict';
// Runs inside Wine's node.exe: loads the Windows module and carries out the
// commands of the test that drives it, one JSON line each way over TCP (the
// standard streams of a Windows program are unreliable when they are Unix pipes).
//   node.exe wine-child.js PORT ADDON

const { execFileSync } = require('node:child_process');
const net = require('node:net');
const path = require('node:path');

const [port, addonPath] = process.argv.slice(2);
const addon = require(addonPath);
const captures = new Map();
const layered = new Map();  // captures of the capture layer
const watches = new Map();
let layer = null;  // the capture layer, on the same module (PARLANTO_AUDIO_ADDON)

const errorOf = (error) => ({ message: error.message, code: error.code });

const handlers = {
  list: () => ({ inputs: addon.listInputDevices(), outputs: addon.listOutputDevices() }),

  start: ({ name, kind, id, speechEnded }) => {
    const Class = kind === 'loopback' ? addon.ParlantoSystemLoopback : addon.ParlantoMicrophone;
    const capture = id === undefined ? new Class() : new Class(id);
    const log = { chunks: [], ended: [], errors: [] };
    const began = performance.now();
    capture.start(
      (error, chunk) => {
        if (error) log.errors.push(errorOf(error));
        else log.chunks.push({ at: performance.now(), chunk });
      },
      speechEnded
        ? (error) => {
            if (error) log.errors.push(errorOf(error));
            else log.ended.push(performance.now());
          }
        : undefined,
    );
    const startMs = performance.now() - began;
    captures.set(name, { capture, log });
    return { startMs, sampleRate: capture.sampleRate, channels: capture.channels };
  },

  status: ({ name }) => {
    const { capture, log } = captures.get(name);
    return { chunks: log.chunks.length, errors: log.errors, sampleRate: capture.sampleRate, channels: capture.channels };
  },

  // Stops the capture; what it delivered comes back with the arrival times.
  stop: async ({ name }) => {
    const { capture, log } = captures.get(name);
    captures.delete(name);
    capture.stop();
    await new Promise((resolve) => setTimeout(resolve, 50));
    return {
      chunks: log.chunks.map(({ at, chunk }) => ({ at, bytes: chunk.length })),
      ended: log.ended,
      errors: log.errors,
      pcm: Buffer.concat(log.chunks.map(({ chunk }) => chunk)).toString('base64'),
    };
  },

  cpu: () => process.cpuUsage(),

  // A capture of the capture layer; times are this process's performance.now().
  open: async ({ name, options }) => {
    layer ??= require(path.join(__dirname, '..', '..', 'capture'));
    const capture = await layer.openCapture(options);
    const log = { chunks: [], first: null, ended: [], errors: [] };
    capture.on('data', (chunk, { time }) => {
      log.first ??= time;
      log.chunks.push(chunk);
    });
    capture.on('speech-ended', ({ time }) => log.ended.push(time));
    capture.on('error', (error) => log.errors.push(errorOf(error)));
    layered.set(name, { capture, log });
    const { sampleRate, channels, echoEngine, echoReferenceId } = capture;
    return { sampleRate, channels, echoEngine, echoReferenceId };
  },

  now: () => performance.now(),

  close: async ({ name }) => {
    const { capture, log } = layered.get(name);
    layered.delete(name);
    await capture.stop();
    return {
      first: log.first,
      ended: log.ended,
      errors: log.errors,
      pcm: Buffer.concat(log.chunks).toString('base64'),
    };
  },

  watch: ({ name }) => {
    layer ??= require(path.join(__dirname, '..', '..', 'capture'));
    const log = { events: [], errors: [] };
    const unwatch = layer.watchDevices((event) => log.events.push(event),
      { onError: (error) => log.errors.push(errorOf(error)) });
    watches.set(name, { unwatch, log });
    return {};
  },

  watched: ({ name }) => watches.get(name).log,

  // A capture of the capture layer: its device, its device changes, and the
  // level of the audio since the last ask.
  open: async ({ name, options }) => {
    layer ??= require(path.join(__dirname, '..', '..', 'capture'));
    const capture = await layer.openCapture(options);
    const log = { changes: [], errors: [], peak: 0, chunks: 0 };
    capture.on('device-changed', (change) => log.changes.push(change));
    capture.on('error', (error) => log.errors.push(errorOf(error)));
    capture.on('data', (chunk) => {
      log.chunks++;
      for (let i = 0; i + 1 < chunk.length; i += 2) log.peak = Math.max(log.peak, Math.abs(chunk.readInt16LE(i)) / 32768);
    });
    captures.set(name, { capture, log, layer: true });
    return { deviceId: capture.deviceId };
  },

  opened: ({ name }) => {
    const { capture, log } = captures.get(name);
    const result = { deviceId: capture.deviceId, ...log };
    log.peak = 0;
    return result;
  },

  close: async ({ name }) => {
    const { capture } = captures.get(name);
    captures.delete(name);
    await capture.stop();
    return {};
  },

  // The log stays, so that what comes after unwatch() shows.
  unwatch: ({ name }) => {
    const watch = watches.get(name);
    watch.unwatch();
    return watch.log;
  },

  // Wine's registry, by its own reg.exe: reg({ args: ['add', key, ...] }).
  reg: ({ args }) => {
    execFileSync('reg', args, { stdio: 'ignore', windowsHide: true });
    return {};
  },
};

const socket = net.connect(Number(port), '127.0.0.1');
let pending = '';
socket.setEncoding('utf8');
socket.on('data', async (text) => {
  pending += text;
  let newline;
  while ((newline = pending.indexOf('\n')) >= 0) {
    const line = pending.slice(0, newline);
    pending = pending.slice(newline + 1);
    const request = JSON.parse(line);
    let reply;
    try {
      reply = { seq: request.seq, result: await handlers[request.op](request) };
    } catch (error) {
      reply = { seq: request.seq, error: errorOf(error) };
    }
    socket.write(`${JSON.stringify(reply)}\n`);
  }
});
socket.on('close', () => {
  for (const { capture } of captures.values()) capture.stop();
  for (const { capture } of layered.values()) capture.stop();
  for (const { unwatch } of watches.values()) unwatch();
  process.exit(0);
});
