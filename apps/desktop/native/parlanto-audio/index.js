'use strict';
// Loads the native module. Looked for, in order: the path in the environment
// variable PARLANTO_AUDIO_ADDON; a build inside this package
// (build/Release/parlanto_audio.node); a prebuilt binary shipped with the
// package (prebuilds/<platform>-<arch>/); the repository's top-level CMake
// build (build/apps/desktop/native/parlanto-audio/parlanto_audio.node).
const fs = require('node:fs');
const path = require('node:path');

function candidates() {
  const found = [];
  if (process.env.PARLANTO_AUDIO_ADDON) found.push(path.resolve(process.env.PARLANTO_AUDIO_ADDON));
  found.push(path.join(__dirname, 'build', 'Release', 'parlanto_audio.node'));
  found.push(path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`,
                       'parlanto_audio.node'));
  found.push(path.join(__dirname, '..', '..', '..', '..', 'build',
                       'apps', 'desktop', 'native', 'parlanto-audio', 'parlanto_audio.node'));
  return found;
}

function load() {
  const tried = candidates();
  for (const file of tried) {
    if (fs.existsSync(file)) return require(file);
  }
  throw new Error('parlanto_audio.node not found; build it first ' +
                  '(cmake --preset default && cmake --build --preset default). Looked at:\n  ' +
                  tried.join('\n  '));
}

module.exports = load();
