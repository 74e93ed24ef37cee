'use strict';
// Which systems the module runs on, and finding its binary there. A platform
// is supported when it has an audio backend (src/lib/host/<name>/); its
// binary is prebuilt in prebuilds/<platform>-<arch>/ (node-gyp-build's layout
// and resolution), else built from source at install into build/Release/.
// A new backend adds one entry to `backends` and, once built, its prebuild.
const fs = require('node:fs');
const path = require('node:path');

const backends = {
  linux: 'PulseAudio or PipeWire',
  win32: 'WASAPI',
};
// Where an install may build the module itself; Windows binaries are
// cross-built by the repository's scripts and ship prebuilt only.
const sourceBuilds = new Set(['linux']);

function target(platform = process.platform, arch = process.arch) {
  return `${platform}-${arch}`;
}

// The <platform>-<arch> folders of prebuilds/ that hold a binary.
function prebuiltTargets(dir = __dirname) {
  const prebuilds = path.join(dir, 'prebuilds');
  let names = [];
  try {
    names = fs.readdirSync(prebuilds);
  } catch {
    return [];
  }
  return names.filter((name) => {
    try {
      return fs.readdirSync(path.join(prebuilds, name)).some((file) => file.endsWith('.node'));
    } catch {
      return false;
    }
  }).sort();
}

// "linux-x64 (prebuilt), linux on other processors (built from source at install)".
function supportedText(dir = __dirname) {
  const prebuilt = prebuiltTargets(dir).filter((t) => backends[t.split('-')[0]]);
  const parts = prebuilt.map((t) => `${t} (prebuilt; ${backends[t.split('-')[0]]})`);
  for (const platform of Object.keys(backends).filter((p) => sourceBuilds.has(p))) {
    const others = prebuilt.some((t) => t.startsWith(`${platform}-`)) ? `${platform} on other processors` : platform;
    parts.push(`${others} (built from source at install; ${backends[platform]})`);
  }
  return parts.join(', ');
}

function hasBackend(platform = process.platform) {
  return Object.prototype.hasOwnProperty.call(backends, platform);
}

function canBuildFromSource(platform = process.platform) {
  return sourceBuilds.has(platform);
}

function unsupportedError(dir = __dirname) {
  const error = new Error(`parlanto-audio has no audio backend for ${target()}. ` +
                          `Supported: ${supportedText(dir)}.`);
  error.code = 'ERR_PARLANTO_AUDIO_UNSUPPORTED_PLATFORM';
  error.platform = target();
  return error;
}

// Without the loader (a package laid out by `cmake --install`, or a checkout
// before `npm install`), the same folders in the same order, exact target only.
function findBinaryWithoutLoader(dir) {
  for (const folder of [path.join(dir, 'build', 'Release'), path.join(dir, 'prebuilds', target())]) {
    let names;
    try {
      names = fs.readdirSync(folder);
    } catch {
      continue;
    }
    const binary = names.filter((name) => name.endsWith('.node')).sort()[0];
    if (binary) return path.join(folder, binary);
  }
  return null;
}

// The binary node-gyp-build picks for this process (build/Release/ first,
// then the best-matching prebuild), or null.
function findBinary(dir = __dirname) {
  let resolver;
  try {
    resolver = require('node-gyp-build');
  } catch (error) {
    if (error.code === 'MODULE_NOT_FOUND') return findBinaryWithoutLoader(dir);
    throw error;
  }
  try {
    return resolver.resolve(dir);
  } catch (error) {
    if (/No native build was found/.test(error.message)) return null;
    throw error;
  }
}

module.exports = { backends, target, prebuiltTargets, supportedText, hasBackend, canBuildFromSource, unsupportedError,
                   findBinary };
