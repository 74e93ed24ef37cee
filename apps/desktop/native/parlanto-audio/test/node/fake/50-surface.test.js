'use strict';
// What loading the module shows JavaScript: exports, classes, arguments,
// errors, receivers, and loading in several environments at once.
const test = require('node:test');
const assert = require('node:assert/strict');
const { loadTestAddon, usualDevices, runChild } = require('../support/fake-support');

const addon = loadTestAddon();
const { fake, ParlantoMicrophone, ParlantoSystemLoopback } = addon;
const MODULE_EXPORTS = ['listInputDevices', 'listOutputDevices', 'ParlantoMicrophone',
  'ParlantoSystemLoopback'];

test('the exports are the two functions, then the two classes', () => {
  assert.deepEqual(Object.keys(addon).slice(0, 4), MODULE_EXPORTS);
  for (const name of MODULE_EXPORTS) {
    const descriptor = Object.getOwnPropertyDescriptor(addon, name);
    assert.equal(typeof descriptor.value, 'function');
    assert.equal(descriptor.value.name, name);
    assert.ok(descriptor.writable && descriptor.enumerable && descriptor.configurable, name);
  }
  if (process.env.PARLANTO_AUDIO_ADDON) {
    assert.deepEqual(Object.keys(require(process.env.PARLANTO_AUDIO_ADDON)), MODULE_EXPORTS);
  }
});

test('each prototype has the constructor, two read-only accessors and two methods', () => {
  fake.reset(usualDevices());
  for (const Class of [ParlantoMicrophone, ParlantoSystemLoopback]) {
    const proto = Class.prototype;
    assert.deepEqual(Object.getOwnPropertyNames(proto),
      ['constructor', 'channels', 'sampleRate', 'start', 'stop']);
    for (const name of ['channels', 'sampleRate']) {
      const { get, set, enumerable, configurable } = Object.getOwnPropertyDescriptor(proto, name);
      assert.equal(typeof get, 'function');
      assert.equal(set, undefined);
      assert.ok(enumerable && configurable);
    }
    for (const name of ['start', 'stop']) {
      const { value, writable, enumerable, configurable } =
        Object.getOwnPropertyDescriptor(proto, name);
      assert.equal(typeof value, 'function');
      assert.ok(writable && enumerable && configurable);
    }
    const capture = new Class();
    assert.deepEqual(Object.getOwnPropertyNames(capture), []);
    assert.equal(Reflect.set(capture, 'sampleRate', 8000), false);
    assert.equal(capture.sampleRate, 48000);
  }
});

test('the constructor takes a string, nothing, null or undefined as the device id', () => {
  for (const args of [[], [undefined], [null], [''], ['  '], ['fake:mic', 'ignored']]) {
    assert.ok(new ParlantoMicrophone(...args) instanceof ParlantoMicrophone, `${args}`);
  }
  for (const [value, shown] of [[42, '42 of type number'], [true, 'true of type boolean'],
    [{}, 'of type object'], [Symbol('x'), 'of type symbol'], [() => 'fake:mic', 'of type function']]) {
    assert.throws(() => new ParlantoSystemLoopback(value), (error) => {
      assert.ok(error instanceof Error);
      assert.equal(error.code, 'StringExpected');
      assert.ok(error.message.includes(shown), error.message);
      return true;
    });
  }
});

test('the classes refuse to be called without new, and can be extended', () => {
  assert.throws(() => ParlantoMicrophone(), TypeError);
  assert.throws(() => ParlantoSystemLoopback.call(new ParlantoSystemLoopback()), TypeError);
  class Tagged extends ParlantoSystemLoopback {
    get label() { return `loopback ${this.channels}`; }
  }
  assert.equal(new Tagged().label, 'loopback 2');
});

test('methods and getters refuse a receiver that is not an instance of their class', () => {
  const wrongReceiver = (className, code) => (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.message,
      `Failed to unwrap exclusive reference of \`${className}\` type from napi value`);
    assert.equal(error.code, code);
    return true;
  };
  const mic = ParlantoMicrophone.prototype;
  const loopback = ParlantoSystemLoopback.prototype;
  const getter = (proto, name) => Object.getOwnPropertyDescriptor(proto, name).get;

  assert.throws(() => mic.start.call({}, () => {}), wrongReceiver('ParlantoMicrophone', 'InvalidArg'));
  assert.throws(() => mic.channels, wrongReceiver('ParlantoMicrophone', 'InvalidArg'));
  assert.throws(() => Object.create(loopback).sampleRate,
    wrongReceiver('ParlantoSystemLoopback', 'InvalidArg'));
  // The engine hands native functions the global object or a boxed primitive.
  assert.throws(() => Reflect.apply(mic.stop, undefined, []),
    wrongReceiver('ParlantoMicrophone', 'InvalidArg'));
  assert.throws(() => Reflect.apply(loopback.stop, 7, []),
    wrongReceiver('ParlantoSystemLoopback', 'InvalidArg'));
  // Both classes wrap the same native object; each still refuses the other's.
  assert.throws(() => mic.stop.call(new ParlantoSystemLoopback()),
    wrongReceiver('ParlantoMicrophone', 'InvalidArg'));
  assert.throws(() => getter(loopback, 'channels').call(new ParlantoMicrophone()),
    wrongReceiver('ParlantoSystemLoopback', 'InvalidArg'));
});

test('start and stop return undefined; a callback that is no function is refused', () => {
  fake.reset(usualDevices());
  const mic = new ParlantoMicrophone();
  assert.equal(mic.start(() => {}, null), undefined);
  assert.equal(mic.stop(), undefined);
  for (const args of [[], [42], [() => {}, 'not a function']]) {
    assert.throws(() => mic.start(...args), (error) => {
      assert.ok(error instanceof Error);
      assert.equal(error.code, 'InvalidArg');
      assert.equal(error.message, '');
      return true;
    }, `start(${args})`);
    assert.equal(fake.counters().streamsAlive, 0);
  }
  assert.equal(mic.start(() => {}), undefined);
  mic.stop();
});

test('the module loads and captures in four worker threads at once', async () => {
  const child = await runChild(`
    const { Worker } = require('node:worker_threads');
    const addon = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
    const side = { default: { channels: 1, sampleRate: 48000, format: 'F32' } };
    const keys = ['w0', 'w1', 'w2', 'w3', 'doomed'];
    addon.fake.reset({ devices: keys.map((key) => ({ key, input: side })), defaultInput: 'w0' });

    const workerSource = \`
      const { parentPort, workerData } = require('node:worker_threads');
      const addon = require(process.env.PARLANTO_AUDIO_TEST_ADDON);
      const keys = Object.keys(addon).slice(0, 4).join();
      const listed = addon.listInputDevices().length;
      const mic = new addon.ParlantoMicrophone('fake:' + workerData.key);
      let chunks = 0;
      mic.start(() => {
        chunks += 1;
        if (chunks === 20) {
          mic.stop();
          parentPort.postMessage({ keys, listed, chunks, sampleRate: mic.sampleRate });
        }
      });
      parentPort.postMessage('started');
      addon.fake.feed(workerData.key, new Float32Array(480 * 20), { frames: 480 });
    \`;
    const run = (key) => new Promise((resolve, reject) => {
      const worker = new Worker(workerSource, { eval: true, workerData: { key } });
      worker.on('message', (message) => { if (message !== 'started') resolve(message); });
      worker.on('error', reject);
    });

    (async () => {
      // One worker ends with its capture still running.
      const doomed = new Worker(workerSource.replace('addon.fake.feed', '//'),
                                { eval: true, workerData: { key: 'doomed' } });
      await new Promise((resolve) => doomed.once('message', resolve));
      const results = await Promise.all(['w0', 'w1', 'w2', 'w3'].map(run));
      await doomed.terminate();
      console.log(JSON.stringify({ results, streamsAlive: addon.fake.counters().streamsAlive }));
    })();
  `);
  assert.equal(child.code, 0, child.stderr);
  const { results, streamsAlive } = JSON.parse(child.stdout);
  assert.equal(results.length, 4);
  for (const result of results) {
    assert.deepEqual(result, {
      keys: 'listInputDevices,listOutputDevices,ParlantoMicrophone,ParlantoSystemLoopback',
      listed: 5,
      chunks: 20,
      sampleRate: 48000,
    });
  }
  assert.equal(streamsAlive, 0);
});
