'use strict';
// Shared by the tests that run the module on the fake host (30-79): loading
// the test addon, scripting devices, collecting callbacks, child processes.

const { spawn } = require('node:child_process');

function loadTestAddon() {
  const file = process.env.PARLANTO_AUDIO_TEST_ADDON;
  if (!file) throw new Error('PARLANTO_AUDIO_TEST_ADDON is not set');
  return require(file);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(predicate, what, timeoutMs = 15000) {
  const start = Date.now();
  while (!predicate()) {
    if (Date.now() - start > timeoutMs) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

// One side of a device: its default configuration and its ranges.
function side(channels, sampleRate, format = 'F32', ranges = []) {
  return { default: { channels, sampleRate, format }, ranges };
}

function range(channels, minSampleRate, maxSampleRate, format = 'F32') {
  return { channels, minSampleRate, maxSampleRate, format };
}

// The usual machine: a mono microphone, stereo speakers, a headset with both.
function usualDevices() {
  return {
    devices: [
      { key: 'mic', name: 'Built-in Microphone', input: side(1, 48000) },
      { key: 'speakers', name: 'Built-in Speakers', output: side(2, 48000) },
      { key: 'headset', name: 'Headset', input: side(1, 16000), output: side(2, 44100) },
    ],
    defaultInput: 'mic',
    defaultOutput: 'speakers',
  };
}

// Callbacks that record what reaches them.
function recorder() {
  const r = {
    chunks: [],
    ended: 0,
    endedAt: [],
    onData(error, chunk) {
      if (error) throw error;
      r.chunks.push(chunk);
    },
    onEnded() {
      r.ended += 1;
      r.endedAt.push({ at: performance.now(), chunks: r.chunks.length });
    },
  };
  return r;
}

// Runs JavaScript in a child Node.js process; resolves with its exit status
// and output. The child inherits the environment (addon paths, sanitizer
// preloads).
function runChild(source, { nodeArgs = [], timeoutMs = 60000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [...nodeArgs, '-e', source], {
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (data) => { stdout += data; });
    child.stderr.on('data', (data) => { stderr += data; });
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`child did not exit within ${timeoutMs} ms\n${stdout}\n${stderr}`));
    }, timeoutMs);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr });
    });
  });
}

module.exports = {
  loadTestAddon, sleep, waitFor, side, range, usualDevices, recorder, runChild,
};
