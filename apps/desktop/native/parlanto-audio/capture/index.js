'use strict';
// The capture layer: openCapture() and watchDevices() on top of the native
// module. Audio arrives in the format asked for, each chunk with its place on
// the capture's sample clock; the native side starts streams off the
// JavaScript thread, converts formats, coalesces delivery while JavaScript is
// busy and bounds what it keeps meanwhile.

const { EventEmitter } = require('node:events');
const addon = require('..');
const { DefaultFollower } = require('./follow.js');

const internals = addon[Symbol.for('parlanto-audio.capture')];
if (!internals) throw new Error('parlanto-audio: this build of the native module has no capture layer');

const KINDS = { microphone: 0, loopback: 1 };
const ECHO_ENGINES = ['webrtc', 'speex'];
const MIN_RATE = 8000;
const MAX_RATE = 192000;
const DEFAULT_BUFFER_LIMIT_MS = 10000;
const DEFAULT_CHUNK_MS = 40;
// The pause before a capture that follows the default device tries again to
// start its device watch.
const FOLLOW_RETRY_MS = 1000;
// Turn detection (speechEnd): the native detectors' names and limits.
const DETECTORS = { voice: 0, level: 1 };
const DEFAULT_MIN_SILENCE_MS = 420;
const MIN_SILENCE_MS = [100, 10000];
const MAX_TURN_MS = [1000, 3600000];

// Native times are CLOCK_MONOTONIC milliseconds; the layer reports them on
// performance.now()'s clock, which runs on the same monotonic source. The
// offset comes from the tightest of several readings, so a thread paused
// between two of them does not skew every time the process reports.
const MONOTONIC_OFFSET = (() => {
  let spread = Infinity;
  let offset = 0;
  for (let i = 0; i < 16; i++) {
    const before = performance.now();
    const monotonic = Number(process.hrtime.bigint()) / 1e6;
    const after = performance.now();
    if (after - before < spread) {
      spread = after - before;
      offset = monotonic - (before + after) / 2;
    }
  }
  return offset;
})();

function invalid(message) {
  const error = new TypeError(message);
  error.code = 'InvalidArg';
  return error;
}

function isPlainObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function typeName(value) {
  return value === null ? 'null' : Array.isArray(value) ? 'an array' : typeof value;
}

// The keys each options object takes, and where a key given in the wrong
// place belongs.
const CAPTURE_KEYS = ['kind', 'deviceId', 'format', 'bufferLimitMs', 'chunkMs', 'echoCancel', 'appName', 'followDefault',
  'speechEnd'];
const SPEECH_END_KEYS = ['detector', 'minSilenceMs', 'maxTurnMs'];
const FORMAT_KEYS = ['sampleRate', 'channels'];
const ECHO_KEYS = ['reference', 'noiseSuppression', 'gainControl', 'engine'];
const MOVED = {
  sampleRate: 'format.sampleRate', channels: 'format.channels', rate: 'format.sampleRate',
  reference: 'echoCancel.reference', noiseSuppression: 'echoCancel.noiseSuppression',
  gainControl: 'echoCancel.gainControl', detector: 'speechEnd.detector', minSilenceMs: 'speechEnd.minSilenceMs',
  maxTurnMs: 'speechEnd.maxTurnMs', device: 'deviceId', id: 'deviceId', onError: "watchDevices(listener, { onError })",
};

// Edits (insertions, deletions, substitutions) from `a` to `b`.
function distance(a, b) {
  let row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i++) {
    const next = [i];
    for (let j = 1; j <= b.length; j++) {
      next[j] = Math.min(row[j] + 1, next[j - 1] + 1, row[j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
    }
    row = next;
  }
  return row[b.length];
}

// Refuses keys `object` does not take, naming the key and, when it belongs
// elsewhere or is a misspelling, where it goes.
function refuseUnknown(object, allowed, where, caller) {
  for (const key of Object.keys(object)) {
    if (allowed.includes(key)) continue;
    const path = where ? `${where}.${key}` : key;
    const near = allowed.find((k) => k.toLowerCase() === key.toLowerCase()) ??
      (key.length >= 4 ? allowed.find((k) => distance(k.toLowerCase(), key.toLowerCase()) <= 2) : undefined);
    const elsewhere = MOVED[key] ?? (where ? (CAPTURE_KEYS.includes(key) ? key : undefined) : undefined);
    const meant = near ? (where ? `${where}.${near}` : near) : elsewhere !== path ? elsewhere : undefined;
    const hint = meant ? `; did you mean ${meant}?` : '';
    throw invalid(`${caller}: unknown option ${path}${hint} (${where || 'options'} takes ${allowed.join(', ')})`);
  }
}

function readOptions(options = {}) {
  if (!isPlainObject(options)) throw invalid(`openCapture: options must be an object, not ${typeName(options)}`);
  refuseUnknown(options, CAPTURE_KEYS, '', 'openCapture');
  const kind = options.kind === undefined ? 'microphone' : options.kind;
  if (!Object.hasOwn(KINDS, kind)) {
    const event = kind === 'input' ? " (a device event's 'input' is a 'microphone' capture)"
      : kind === 'output' ? " (a device event's 'output' is recorded by a 'loopback' capture)" : '';
    throw invalid(`openCapture: kind must be 'microphone' or 'loopback', not ${String(kind)}${event}`);
  }
  const { deviceId = null, format, appName } = options;
  if (deviceId !== null && typeof deviceId !== 'string') {
    throw invalid(`openCapture: deviceId must be a string, not ${typeName(deviceId)}`);
  }
  if (appName !== undefined && (typeof appName !== 'string' || appName.length === 0 || appName.length > 256 ||
                                appName.includes('\0'))) {
    throw invalid('openCapture: appName must be a string of 1 to 256 characters without NUL');
  }
  let sampleRate = 0;
  let channels = 0;
  if (format !== undefined && format !== null) {
    if (!isPlainObject(format)) throw invalid(`openCapture: format must be an object, not ${typeName(format)}`);
    refuseUnknown(format, FORMAT_KEYS, 'format', 'openCapture');
    if (format.sampleRate !== undefined) {
      sampleRate = format.sampleRate;
      if (!Number.isInteger(sampleRate) || sampleRate < MIN_RATE || sampleRate > MAX_RATE) {
        throw invalid(`openCapture: format.sampleRate must be a whole number of Hz from ${MIN_RATE} to ${MAX_RATE}`);
      }
    }
    if (format.channels !== undefined) {
      channels = format.channels;
      if (channels !== 1 && channels !== 2) throw invalid('openCapture: format.channels must be 1 or 2');
    }
  }
  const bufferLimitMs = options.bufferLimitMs === undefined ? DEFAULT_BUFFER_LIMIT_MS : options.bufferLimitMs;
  if (!Number.isInteger(bufferLimitMs) || bufferLimitMs < 10 || bufferLimitMs > 600000) {
    throw invalid('openCapture: bufferLimitMs must be a whole number from 10 to 600000');
  }
  const chunkMs = options.chunkMs === undefined ? DEFAULT_CHUNK_MS : options.chunkMs;
  if (!Number.isInteger(chunkMs) || chunkMs < 0 || chunkMs > 1000 || chunkMs > bufferLimitMs) {
    throw invalid('openCapture: chunkMs must be a whole number from 0 to 1000, and at most bufferLimitMs');
  }
  const echoCancel = readEchoCancel(options.echoCancel, kind);
  const followDefault = options.followDefault === undefined ? true : options.followDefault;
  if (typeof followDefault !== 'boolean') throw invalid('openCapture: followDefault must be a boolean');
  const speechEnd = readSpeechEnd(options.speechEnd, 'openCapture', 'speechEnd');
  return { kind, deviceId, sampleRate, channels, bufferLimitMs, chunkMs, echoCancel, appName, followDefault, speechEnd };
}

// What the native side takes: { detector: 0 voice | 1 level, minSilenceMs,
// maxTurnMs (0: no limit) }.
function readSpeechEnd(speechEnd, caller, where) {
  if (speechEnd === undefined || speechEnd === null) speechEnd = {};
  if (typeof speechEnd !== 'object') throw invalid(`${caller}: speechEnd must be an object`);
  refuseUnknown(speechEnd, SPEECH_END_KEYS, where, caller);
  const { detector = 'voice', minSilenceMs = DEFAULT_MIN_SILENCE_MS, maxTurnMs = null } = speechEnd;
  if (!Object.hasOwn(DETECTORS, detector)) {
    throw invalid(`${caller}: speechEnd.detector must be 'voice' or 'level', not ${String(detector)}`);
  }
  if (!Number.isInteger(minSilenceMs) || minSilenceMs < MIN_SILENCE_MS[0] || minSilenceMs > MIN_SILENCE_MS[1]) {
    throw invalid(`${caller}: speechEnd.minSilenceMs must be a whole number from ${MIN_SILENCE_MS[0]} to ${MIN_SILENCE_MS[1]}`);
  }
  if (maxTurnMs !== null && (!Number.isInteger(maxTurnMs) || maxTurnMs < MAX_TURN_MS[0] ||
      maxTurnMs > MAX_TURN_MS[1] || maxTurnMs <= minSilenceMs)) {
    throw invalid(`${caller}: speechEnd.maxTurnMs must be null or a whole number from ${MAX_TURN_MS[0]} to ` +
      `${MAX_TURN_MS[1]}, and more than minSilenceMs`);
  }
  return { detector: DETECTORS[detector], minSilenceMs, maxTurnMs: maxTurnMs ?? 0 };
}

// What the native side takes: the reference's id (null: the default output
// device), the engine's two optional stages, and the engine (null: the
// build's default).
function readEchoCancel(echoCancel, kind) {
  if (echoCancel === undefined || echoCancel === null || echoCancel === false) return undefined;
  if (!isPlainObject(echoCancel)) throw invalid(`openCapture: echoCancel must be an object, not ${typeName(echoCancel)}`);
  refuseUnknown(echoCancel, ECHO_KEYS, 'echoCancel', 'openCapture');
  if (kind !== 'microphone') {
    throw invalid('openCapture: echoCancel applies to a microphone capture, not a loopback');
  }
  const { reference = 'default', noiseSuppression = false, gainControl = false, engine = null } = echoCancel;
  if (typeof reference !== 'string' || reference.length === 0) {
    throw invalid("openCapture: echoCancel.reference must be 'default' or an output device's id");
  }
  if (typeof noiseSuppression !== 'boolean') throw invalid('openCapture: echoCancel.noiseSuppression must be a boolean');
  if (typeof gainControl !== 'boolean') throw invalid('openCapture: echoCancel.gainControl must be a boolean');
  if (engine !== null && !ECHO_ENGINES.includes(engine)) {
    throw invalid(`openCapture: echoCancel.engine must be 'webrtc' or 'speex', not ${String(engine)}`);
  }
  return { reference: reference === 'default' ? null : reference, noiseSuppression, gainControl, engine };
}

// One device watch serves every capture that follows a default device: it
// starts with the first and closes with the last. A watch that could not
// start is tried again every FOLLOW_RETRY_MS while captures follow.
const followWatch = {
  listeners: new Set(),
  handle: null,
  ready: false,
  waiting: [],     // resolvers of joins made while it starts
  retry: null,
  generation: 0,   // a closed or failed watch's callbacks are stale

  // Resolves once the watch runs, or could not start.
  join(listener) {
    this.listeners.add(listener);
    if (this.ready) return Promise.resolve();
    const started = new Promise((resolve) => this.waiting.push(resolve));
    if (this.handle === null && this.retry === null) this.start();
    return started;
  },

  leave(listener) {
    if (!this.listeners.delete(listener) || this.listeners.size > 0) return;
    this.generation++;
    clearTimeout(this.retry);
    this.retry = null;
    this.handle?.close();
    this.handle = null;
    this.ready = false;
    this.settle();
  },

  start() {
    this.retry = null;
    if (this.listeners.size === 0) return;
    const generation = ++this.generation;
    this.handle = internals.watchDevices((event) => {
      if (generation !== this.generation) return;
      for (const listener of [...this.listeners]) listener(event);
    }, () => {
      if (generation !== this.generation) return;
      // The audio system did not answer: the captures stay where they are
      // until a watch starts.
      this.handle = null;
      this.settle();
      this.retry = setTimeout(() => this.start(), FOLLOW_RETRY_MS);
      this.retry.unref();
    }, () => {
      if (generation !== this.generation) return;
      this.ready = true;
      this.settle();
    });
  },

  settle() {
    for (const resolve of this.waiting.splice(0)) resolve();
  },
};

const ECHO_PAUSED = 'echo cancellation paused: its reference output went away, so the microphone passes ' +
  'through uncancelled until it is back';

class Capture extends EventEmitter {
  #session;
  #info = { kind: 'microphone', deviceId: null, sampleRate: 0, channels: 0, deviceSampleRate: 0,
            deviceChannels: 0, echoReferenceId: null, echoEngine: null };
  #dropped = 0;
  #running = false;
  #ready = false;
  #held = [];        // deliveries that came before openCapture resolved
  #closed = false;
  #closeWaiters = [];
  #iterators = new Set();
  #nativeDropped = 0;  // frames the native side dropped; the iterators count their own
  #device = null;     // DefaultFollower of the captured device, when it follows the default
  #reference = null;  // ... and of the echo reference
  #onDeviceEvent = null;  // while following: what the shared device watch calls
  #moving = false;       // a move is under way: its stream's 'interrupted' end is carried
  #movedAt = null;       // the last frame delivered when the move completed
  #lastFrame = 0;
  #carried = null;       // the end held across a move
  #minSilenceMs = 420;

  constructor(kind, session) {
    super();
    this.#session = session;
    this.#info.kind = kind;
  }

  // What the capture is, read-only: the layer keeps them true.
  get kind() { return this.#info.kind; }
  get deviceId() { return this.#info.deviceId; }
  get sampleRate() { return this.#info.sampleRate; }
  get channels() { return this.#info.channels; }
  get deviceSampleRate() { return this.#info.deviceSampleRate; }
  get deviceChannels() { return this.#info.deviceChannels; }
  get echoReferenceId() { return this.#info.echoReferenceId; }
  get echoEngine() { return this.#info.echoEngine; }
  get dropped() { return this.#dropped; }
  get running() { return this.#running; }

  // Called by the native delivery handle; see coalescing_sink.h. The native
  // side keeps the stream (it opens a failed device again and notices a
  // device that gives nothing); the layer reports what it is told.
  _deliver(chunk, frame, time, dropped, turns, errors, echo, reopened, resumed) {
    if (!this.#ready) {
      this.#held.push([chunk, frame, time, dropped, turns, errors, echo, reopened, resumed]);
      return;
    }
    time -= MONOTONIC_OFFSET;
    if (dropped > this.#nativeDropped) {
      const frames = dropped - this.#nativeDropped;
      this.#nativeDropped = dropped;
      this.#dropped += frames;
      this.emit('drop', { frames, total: this.#dropped });
    }
    // Audio again after the no-audio report: that error is over.
    if (resumed) this.emit('resumed');
    if (chunk !== undefined) {
      this.#settleCarriedTurn(frame);
      this.#lastFrame = frame;
      this.emit('data', chunk, { frame, time });
      for (const iterator of this.#iterators) iterator.push(chunk, this.sampleRate);
    }
    if (turns !== undefined) {
      for (const { type, ...event } of turns) {
        event.time = time + ((event.frame - frame) * 1000) / this.sampleRate;
        if (this.#carryTurn(type, event)) continue;
        this.emit(type, event);
      }
    }
    if (errors !== undefined) {
      for (const text of errors) this.#report(text);
    }
    if (reopened !== undefined) {
      for (const info of reopened) {
        if (info.type === 'reference') {
          this.#info.echoReferenceId = info.echoReferenceId;
          this.#reference?.landed(info.echoReferenceId);
        } else {
          this.#landed(info);
          if (this.#running) this.emit('resumed');
        }
      }
    }
    if (echo !== undefined) {
      // A failed reference is opened again on the native side; 'resumed'
      // follows once the canceller has it back.
      for (const event of echo) {
        if (event === 'lost') this.#report(ECHO_PAUSED);
        else if (event === 'resumed') this.emit('resumed');
      }
    }
  }

  // A move to another device drops the stream under an open turn: its end
  // ('interrupted') is held, and the new stream's start of the same turn is
  // passed over, so the turn goes on across the move with its first frame.
  // A speaker who does not go on within minSilenceMs has ended the turn.
  #carryTurn(type, event) {
    if (type === 'speech-ended' && event.reason === 'interrupted' && this.#moving) {
      this.#moving = false;
      this.#carried = event;
      return true;
    }
    if (this.#carried === null) return false;
    if (type === 'speech-started') return true;
    event.startFrame = this.#carried.startFrame;
    this.#carried = null;
    return false;
  }

  #settleCarriedTurn(frame) {
    if (this.#moving && this.#movedAt !== null && frame > this.#movedAt + this.sampleRate) this.#moving = false;
    const carried = this.#carried;
    if (carried === null) return;
    // The new stream's detector needs a moment to hear the voice again.
    carried.resumedAt ??= frame;
    const silence = Math.round((this.#minSilenceMs * this.sampleRate) / 1000);
    if (frame < Math.max(carried.endFrame, carried.resumedAt) + silence + this.sampleRate) return;
    this.#carried = null;
    const { resumedAt, ...ended } = carried;
    const end = { ...ended, frame: carried.endFrame + silence, reason: 'silence' };
    end.time = carried.time + ((end.frame - carried.frame) * 1000) / this.sampleRate;
    this.emit('speech-ended', end);
  }

  // An application that listens for 'error' gets the error; one that does not
  // gets a line on standard error instead.
  #report(text) {
    if (this.listenerCount('error') === 0) {
      process.stderr.write(`[parlanto_audio] ${text}\n`);
      return;
    }
    const error = new Error(text);
    error.code = 'GenericFailure';
    this.emit('error', error);
  }

  // A stream opened: the first, or again after a failure.
  #landed(info) {
    this.#info.deviceSampleRate = info.deviceSampleRate;
    this.#info.deviceChannels = info.deviceChannels;
    if (info.echoReferenceId) this.#info.echoReferenceId = info.echoReferenceId;
    this.#device?.landed(info.deviceId);
    this.#reference?.landed(info.echoReferenceId);
  }

  // Starts following the default device (and, with `reference`, the default
  // output as the echo reference); resolves once the device watch runs, or
  // could not start.
  _follow(device, reference) {
    const kind = this.kind === 'loopback' ? 'output' : 'input';
    if (device) {
      this.#device = new DefaultFollower(kind, async (id) => {
        let info;
        this.#moving = true;
        this.#movedAt = null;
        try {
          info = await this.#session.follow(id);
          this.#movedAt = this.#lastFrame;
        } catch (error) {
          this.#moving = false;
          // The stream was dropped for the move: reported as a failed stream;
          // the native side opens the default of the kind then.
          if (error.code !== 'Cancelled' && !/being opened/.test(error.message)) {
            this.#report(`stream error: the new default device could not be opened: ${error.message}`);
          }
          throw error;
        }
        this.#landed(info);
        return info.deviceId;
      }, (id, name) => {
        this.#info.deviceId = id;
        if (this.#running) this.emit('device-changed', { deviceId: id, name, echoReference: false });
      });
    }
    if (reference) {
      this.#reference = new DefaultFollower('output', async (id) => {
        const opened = await this.#session.followReference(id);
        if (typeof opened === 'string') this.#info.echoReferenceId = opened;
        return opened;
      }, (id, name) => {
        this.#info.echoReferenceId = id;
        if (this.#running) this.emit('device-changed', { deviceId: id, name, echoReference: true });
      });
    }
    this.#onDeviceEvent = (event) => {
      this.#device?.event(event);
      this.#reference?.event(event);
    };
    return followWatch.join(this.#onDeviceEvent);
  }

  #unfollow() {
    this.#device?.end();
    this.#reference?.end();
    if (this.#onDeviceEvent !== null) followWatch.leave(this.#onDeviceEvent);
    this.#onDeviceEvent = null;
  }

  _opened(info) {
    Object.assign(this.#info, info);
    this.#running = true;
    this.#device?.landed(info.deviceId);
    this.#reference?.landed(info.echoReferenceId);
    // Listeners are attached once openCapture's caller resumes; deliveries
    // that came sooner follow on the next turn.
    setImmediate(() => {
      this.#ready = true;
      for (const args of this.#held.splice(0)) this._deliver(...args);
    });
  }

  _closed() {
    this.#running = false;
    this.#unfollow();
    const finish = () => {
      this.#closed = true;
      for (const iterator of this.#iterators) iterator.end();
      this.#iterators.clear();
      for (const resolve of this.#closeWaiters.splice(0)) resolve();
      this.emit('close');
    };
    if (this.#ready) finish();
    else setImmediate(finish);
  }

  // Stops capturing; resolves once the last audio captured before the stop
  // has been delivered.
  stop() {
    if (this.#closed) return Promise.resolve();
    const done = new Promise((resolve) => this.#closeWaiters.push(resolve));
    this.#running = false;
    this.#unfollow();
    this.#session.stop();
    return done;
  }

  // The same chunks as 'data', from the moment iteration starts. Chunks that
  // wait for the loop body are joined; past the buffer limit the oldest are
  // dropped and counted in `dropped`. Breaking out of the loop leaves the
  // capture running.
  [Symbol.asyncIterator]() {
    const capture = this;
    const queue = [];
    let queuedBytes = 0;
    let waiting = null;
    let ended = this.#closed;
    const limitBytes = () => Math.max(2 * this.channels, Math.floor(this.sampleRate * this.#limitMs / 1000) * 2 * this.channels);
    const sink = {
      push(chunk) {
        if (waiting) {
          const resolve = waiting;
          waiting = null;
          resolve({ value: chunk, done: false });
          return;
        }
        queue.push(chunk);
        queuedBytes += chunk.length;
        const limit = limitBytes();
        while (queuedBytes > limit && queue.length > 0) {
          const excess = queuedBytes - limit;
          const frameBytes = 2 * capture.channels;
          const head = queue[0];
          const cut = Math.min(head.length, Math.ceil(excess / frameBytes) * frameBytes);
          if (cut === head.length) queue.shift();
          else queue[0] = head.subarray(cut);
          queuedBytes -= cut;
          capture.#dropped += cut / frameBytes;
          capture.emit('drop', { frames: cut / frameBytes, total: capture.#dropped });
        }
      },
      end() {
        ended = true;
        if (waiting) {
          const resolve = waiting;
          waiting = null;
          resolve({ value: undefined, done: true });
        }
      },
    };
    if (!ended) this.#iterators.add(sink);
    return {
      next() {
        if (queue.length > 0) {
          const value = queue.length === 1 ? queue[0] : Buffer.concat(queue);
          queue.length = 0;
          queuedBytes = 0;
          return Promise.resolve({ value, done: false });
        }
        if (ended) return Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve) => { waiting = resolve; });
      },
      return() {
        capture.#iterators.delete(sink);
        sink.end();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() { return this; },
    };
  }

  // The open failed: nothing runs, and nothing follows.
  _abandon() {
    this.#closed = true;
    this.#unfollow();
  }

  #limitMs = DEFAULT_BUFFER_LIMIT_MS;
  _setLimit(ms) { this.#limitMs = ms; }
  _setMinSilence(ms) { this.#minSilenceMs = ms; }
}

// Opens a capture without blocking the event loop; rejects with the errors
// the native classes' start() throws.
async function openCapture(options) {
  const { kind, deviceId, sampleRate, channels, bufferLimitMs, chunkMs, echoCancel, appName, followDefault, speechEnd } =
    readOptions(options);
  const session = new internals.LayerSession();
  const capture = new Capture(kind, session);
  capture._setLimit(bufferLimitMs);
  capture._setMinSilence(speechEnd.minSilenceMs);
  // The watch starts beside the open, so that a change while it opens counts.
  const followDevice = followDefault && deviceId === null;
  const followReference = followDefault && echoCancel !== undefined && echoCancel.reference === null;
  const following = followDevice || followReference ? capture._follow(followDevice, followReference) : null;
  let info;
  try {
    info = await session.open(KINDS[kind], deviceId, sampleRate, channels, bufferLimitMs,
      (...args) => capture._deliver(...args), () => capture._closed(), chunkMs, echoCancel, appName, speechEnd);
  } catch (error) {
    capture._abandon();
    throw error;
  }
  capture._opened(info);
  await following;
  return capture;
}

// Open watches, so that a watch lives until unwatch() however the caller
// keeps the function.
const watches = new Set();

// Calls `listener` on this thread for each device added or removed and each
// change of a default device, as the audio system announces them. Starts
// without blocking; returns unwatch(), which stops the notifications at once.
// Until then the watch keeps the process running. A watch that cannot start
// calls `onError` once (without one, the error is written to standard error).
function watchDevices(listener, options = {}) {
  if (typeof listener !== 'function') throw invalid('watchDevices: listener must be a function');
  if (!isPlainObject(options)) {
    throw invalid(`watchDevices: options must be an object ({ onError }), not ${typeName(options)}`);
  }
  refuseUnknown(options, ['onError'], '', 'watchDevices');
  const { onError } = options;
  if (onError !== undefined && typeof onError !== 'function') {
    throw invalid(`watchDevices: onError must be a function, not ${typeName(onError)}`);
  }
  let handle = null;
  const failed = (error) => {
    watches.delete(handle);
    if (typeof onError === 'function') onError(error);
    else process.stderr.write(`[parlanto_audio] ${error.message}\n`);
  };
  handle = internals.watchDevices((event) => listener(event), failed);
  watches.add(handle);
  return function unwatch() {
    if (!watches.delete(handle)) return;
    handle.close();
  };
}

// The capture layer's turn detector over recorded PCM: the same native code
// as a live capture's, fed in 10 ms buffers. `pcm` holds interleaved frames:
// an Int16Array, a Buffer of s16le, or a Float32Array (full scale 1.0).
// Returns the events a capture would emit, in order, with `time` in ms from
// the first frame, and the turns that ended.
function detectSpeech(pcm, options) {
  if (options === null || typeof options !== 'object') throw invalid('detectSpeech: options must be an object');
  const { sampleRate, channels = 1, ...rest } = options;
  if (!Number.isInteger(sampleRate) || sampleRate < MIN_RATE || sampleRate > MAX_RATE) {
    throw invalid(`detectSpeech: sampleRate must be a whole number of Hz from ${MIN_RATE} to ${MAX_RATE}`);
  }
  if (!Number.isInteger(channels) || channels < 1 || channels > 32) {
    throw invalid('detectSpeech: channels must be a whole number from 1 to 32');
  }
  const speechEnd = readSpeechEnd(rest, 'detectSpeech', '');
  let samples;
  if (pcm instanceof Int16Array || pcm instanceof Float32Array) {
    samples = pcm;
  } else if (Buffer.isBuffer(pcm)) {
    if (pcm.length % 2 !== 0) throw invalid('detectSpeech: a Buffer of s16le samples has an even length');
    samples = pcm.byteOffset % 2 === 0
      ? new Int16Array(pcm.buffer, pcm.byteOffset, pcm.length / 2)
      : new Int16Array(new Uint8Array(pcm).buffer);
  } else {
    throw invalid('detectSpeech: pcm must be an Int16Array, a Float32Array or a Buffer of s16le samples');
  }
  if (samples.length % channels !== 0) throw invalid('detectSpeech: pcm must hold whole frames');
  const events = internals.detectSpeech(samples, sampleRate, channels, speechEnd).map(({ type, ...event }) => ({
    type, ...event, time: (event.frame * 1000) / sampleRate,
  }));
  const turns = events.filter((event) => event.type === 'speech-ended')
    .map(({ startFrame, endFrame, frame, reason }) => ({ startFrame, endFrame, endedFrame: frame, reason }));
  return { events, turns };
}

module.exports = { openCapture, watchDevices, detectSpeech };
