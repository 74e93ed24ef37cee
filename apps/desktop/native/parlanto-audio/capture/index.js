'use strict';
// The capture layer: openCapture() and watchDevices() on top of the native
// module. Audio arrives in the format asked for, each chunk with its place on
// the capture's sample clock; the native side starts streams off the
// JavaScript thread, converts formats, coalesces delivery while JavaScript is
// busy and bounds what it keeps meanwhile.

const { EventEmitter } = require('node:events');
const addon = require('..');

const internals = addon[Symbol.for('parlanto-audio.capture')];
if (!internals) throw new Error('parlanto-audio: this build of the native module has no capture layer');

const KINDS = { microphone: 0, loopback: 1 };
const ECHO_ENGINES = ['webrtc', 'speex'];
const MIN_RATE = 8000;
const MAX_RATE = 192000;
const DEFAULT_BUFFER_LIMIT_MS = 10000;
const DEFAULT_CHUNK_MS = 40;
// The pause between attempts to open a failed capture's device again.
const REOPEN_INTERVAL_MS = 200;
// A capture that has received nothing for this long reports it once.
const NO_DATA_MS = 2000;
const WATCH_INTERVAL_MS = 250;

// Native times are CLOCK_MONOTONIC milliseconds; the layer reports them on
// performance.now()'s clock, which runs on the same monotonic source.
const MONOTONIC_OFFSET = (() => {
  const before = performance.now();
  const monotonic = Number(process.hrtime.bigint()) / 1e6;
  const after = performance.now();
  return monotonic - (before + after) / 2;
})();

function invalid(message) {
  const error = new TypeError(message);
  error.code = 'InvalidArg';
  return error;
}

function readOptions(options = {}) {
  if (options === null || typeof options !== 'object') throw invalid('openCapture: options must be an object');
  const kind = options.kind === undefined ? 'microphone' : options.kind;
  if (!(kind in KINDS)) throw invalid(`openCapture: kind must be 'microphone' or 'loopback', not ${String(kind)}`);
  const { deviceId = null, format } = options;
  if (deviceId !== null && typeof deviceId !== 'string') throw invalid('openCapture: deviceId must be a string');
  let sampleRate = 0;
  let channels = 0;
  if (format !== undefined && format !== null) {
    if (typeof format !== 'object') throw invalid('openCapture: format must be an object');
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
  return { kind, deviceId, sampleRate, channels, bufferLimitMs, chunkMs, echoCancel };
}

// What the native side takes: the reference's id (null: the default output
// device), the engine's two optional stages, and the engine (null: the
// build's default).
function readEchoCancel(echoCancel, kind) {
  if (echoCancel === undefined || echoCancel === null || echoCancel === false) return undefined;
  if (typeof echoCancel !== 'object') throw invalid('openCapture: echoCancel must be an object');
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

const ECHO_PAUSED = 'echo cancellation paused: its reference output went away, so the microphone passes ' +
  'through uncancelled until it is back';

class Capture extends EventEmitter {
  #session;
  #ready = false;
  #held = [];        // deliveries that came before openCapture resolved
  #closed = false;
  #closeWaiters = [];
  #iterators = new Set();
  #recovering = false;
  #nativeDropped = 0;  // frames the native side dropped; the iterators count their own
  #watchdog = null;
  #silenceReported = false;
  #referenceRecovering = false;
  #referenceFailedAgain = false;

  constructor(kind, session) {
    super();
    this.#session = session;
    this.kind = kind;
    this.deviceId = null;
    this.sampleRate = 0;
    this.channels = 0;
    this.deviceSampleRate = 0;
    this.deviceChannels = 0;
    this.echoReferenceId = null;
    this.echoEngine = null;
    this.dropped = 0;
    this.running = false;
  }

  // Called by the native delivery handle; see coalescing_sink.h.
  _deliver(chunk, frame, time, dropped, speechEnded, errors, echo) {
    if (!this.#ready) {
      this.#held.push([chunk, frame, time, dropped, speechEnded, errors, echo]);
      return;
    }
    time -= MONOTONIC_OFFSET;
    if (dropped > this.#nativeDropped) {
      const frames = dropped - this.#nativeDropped;
      this.#nativeDropped = dropped;
      this.dropped += frames;
      this.emit('drop', { frames, total: this.dropped });
    }
    if (chunk !== undefined) {
      this.#silenceReported = false;
      this.emit('data', chunk, { frame, time });
      for (const iterator of this.#iterators) iterator.push(chunk, this.sampleRate);
    }
    if (speechEnded !== undefined) {
      for (const at of speechEnded) {
        this.emit('speech-ended', { frame: at, time: time + ((at - frame) * 1000) / this.sampleRate });
      }
    }
    if (errors !== undefined) {
      for (const text of errors) this.#report(text);
      this.#recover();
    }
    if (echo !== undefined) {
      for (const event of echo) {
        if (event === 'lost') this.#report(ECHO_PAUSED);
        else if (event === 'resumed') this.emit('resumed');
        else if (event === 'failed') this.#recoverReference();
      }
    }
  }

  #report(text) {
    if (this.listenerCount('error') === 0) return;
    const error = new Error(text);
    error.code = 'GenericFailure';
    this.emit('error', error);
  }

  // The device may stop giving audio without an error (a frozen server): the
  // time since the last audio is the native side's, so a blocked JavaScript
  // thread does not count as silence. Reported once; the capture waits on.
  #watch() {
    const idle = this.#session.idleMs();
    if (idle < NO_DATA_MS || this.#silenceReported || this.#recovering || !this.running) return;
    this.#silenceReported = true;
    process.stderr.write(`[parlanto_audio] stream error: no audio from the device for ${NO_DATA_MS / 1000} s\n`);
    this.#report(`stream error: no audio from the device for ${NO_DATA_MS / 1000} s`);
  }

  // After a stream error: the device is opened again (the same id, or the
  // default of the kind now) until it can be had or the capture is stopped.
  // Frames go on from where they stopped, plus the frames the gap lasted.
  async #recover() {
    if (this.#recovering || !this.running) return;
    this.#recovering = true;
    try {
      while (this.running) {
        try {
          const info = await this.#session.reopen();
          if (info.echoReferenceId) this.echoReferenceId = info.echoReferenceId;
          if (this.running) this.emit('resumed');
          return;
        } catch (error) {
          if (!this.running || error.code === 'Cancelled') return;
          await new Promise((resolve) => setTimeout(resolve, REOPEN_INTERVAL_MS));
        }
      }
    } finally {
      this.#recovering = false;
    }
  }

  // After the echo reference's stream failed: it is opened again, as a
  // failed device is, until it runs or the capture is stopped. 'resumed'
  // follows once the canceller has its reference back.
  async #recoverReference() {
    if (this.#referenceRecovering) {
      this.#referenceFailedAgain = true;
      return;
    }
    this.#referenceRecovering = true;
    try {
      do {
        this.#referenceFailedAgain = false;
        while (this.running) {
          try {
            const id = await this.#session.reopenReference();
            if (typeof id === 'string') this.echoReferenceId = id;
            break;
          } catch (error) {
            if (!this.running || error.code === 'Cancelled') return;
            await new Promise((resolve) => setTimeout(resolve, REOPEN_INTERVAL_MS));
          }
        }
      } while (this.#referenceFailedAgain && this.running);
    } finally {
      this.#referenceRecovering = false;
    }
  }

  _opened(info) {
    Object.assign(this, info);
    this.running = true;
    this.#watchdog = setInterval(() => this.#watch(), WATCH_INTERVAL_MS);
    this.#watchdog.unref();
    // Listeners are attached once openCapture's caller resumes; deliveries
    // that came sooner follow on the next turn.
    setImmediate(() => {
      this.#ready = true;
      for (const args of this.#held.splice(0)) this._deliver(...args);
    });
  }

  _closed() {
    this.running = false;
    clearInterval(this.#watchdog);
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
    this.running = false;
    clearInterval(this.#watchdog);
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
          capture.dropped += cut / frameBytes;
          capture.emit('drop', { frames: cut / frameBytes, total: capture.dropped });
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

  #limitMs = DEFAULT_BUFFER_LIMIT_MS;
  _setLimit(ms) { this.#limitMs = ms; }
}

// Opens a capture without blocking the event loop; rejects with the errors
// the native classes' start() throws.
async function openCapture(options) {
  const { kind, deviceId, sampleRate, channels, bufferLimitMs, chunkMs, echoCancel } = readOptions(options);
  const session = new internals.LayerSession();
  const capture = new Capture(kind, session);
  capture._setLimit(bufferLimitMs);
  const info = await session.open(KINDS[kind], deviceId, sampleRate, channels, bufferLimitMs,
    (...args) => capture._deliver(...args), () => capture._closed(), chunkMs, echoCancel);
  capture._opened(info);
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
function watchDevices(listener, { onError } = {}) {
  if (typeof listener !== 'function') throw invalid('watchDevices: listener must be a function');
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

module.exports = { openCapture, watchDevices };
