'use strict';
// Delivery from a native thread to a JavaScript callback, through the test
// addon's probe (real sinks, chunks queued from a std::thread):
//   1. throughput: chunks queued back to back, chunks per second at JavaScript;
//   2. latency from queueing to the callback at real pace (10 ms stereo chunks
//      at 48 kHz = 1920 bytes every 10 ms), median and 99th percentile;
//   3. the JavaScript thread blocked for one second during a real-pace stream:
//      growth of the process while chunks pile up, all delivered in order after.
// Run after the default build:
//   node apps/desktop/native/parlanto-audio/bench/delivery_bench.js
const path = require('node:path');

const addon = process.env.PARLANTO_AUDIO_TEST_ADDON ||
  path.join(__dirname, '..', '..', '..', '..', '..', 'build', 'apps', 'desktop', 'native',
            'parlanto-audio', 'test', 'parlanto_audio_test.node');
const { probe } = require(addon);

const CHUNK_BYTES = 480 * 2 * 2;
const PERIOD_US = 10_000;

// The probe stamps each chunk with its sequence number (bytes 0-3) and the
// monotonic time at which it was queued (bytes 4-11); hrtime reads the same clock.
function run(count, intervalUs, onChunk) {
  return new Promise((resolve, reject) => {
    let expected = 0;
    probe.stream((error, chunk) => {
      const now = process.hrtime.bigint();
      if (error) return reject(error);
      const seq = chunk.readUInt32LE(0);
      if (seq !== expected) return reject(new Error(`chunk ${seq} arrived, expected ${expected}`));
      expected += 1;
      onChunk(seq, Number(now - chunk.readBigUInt64LE(4)) / 1e3, now);
      if (expected === count) resolve();
    }, count, CHUNK_BYTES, intervalUs);
  });
}

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
const fmt = (x) => x.toFixed(1);

async function throughput() {
  const count = 200_000;
  let first;
  let last;
  const latencies = [];
  await run(count, 0, (seq, latencyUs, now) => {
    if (seq === 0) first = now;
    last = now;
    latencies.push(latencyUs);
  });
  const seconds = Number(last - first) / 1e9;
  latencies.sort((a, b) => a - b);
  console.log(`throughput: ${count} chunks of ${CHUNK_BYTES} bytes, ` +
              `${Math.round(count / seconds)} chunks/s (${fmt(count * CHUNK_BYTES / seconds / 1e6)} MB/s), ` +
              `latency under that load median ${fmt(percentile(latencies, 0.5))} us`);
}

async function realPace() {
  const count = 500;
  const latencies = [];
  await run(count, PERIOD_US, (seq, latencyUs) => latencies.push(latencyUs));
  latencies.sort((a, b) => a - b);
  console.log(`real pace: ${count} chunks every 10 ms, latency median ${fmt(percentile(latencies, 0.5))} us, ` +
              `p99 ${fmt(percentile(latencies, 0.99))} us, max ${fmt(latencies[latencies.length - 1])} us`);
}

async function blocked() {
  const count = 300;
  let before;
  let after;
  let backlog = 0;
  let blockedAt;
  await run(count, PERIOD_US, (seq, latencyUs, now) => {
    if (seq === 50) {
      before = probe.stats().heapBytes;
      blockedAt = now;
      const until = Date.now() + 1000;
      while (Date.now() < until) { /* the JavaScript thread is busy */ }
    } else if (seq === 51) {
      after = probe.stats().heapBytes;
    }
    if (blockedAt !== undefined && seq > 50 && latencyUs > 10_000) backlog += 1;
  });
  console.log(`blocked 1 s: ${backlog} chunks waited in the queue (${fmt(backlog * CHUNK_BYTES / 1024)} KiB ` +
              `of PCM), native heap grew ${fmt((after - before) / 1024)} KiB; all ${count} arrived in order`);
}

(async () => {
  await throughput();
  await realPace();
  await blocked();
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
