'use strict';
// Loads the native module: the file named by the environment variable
// PARLANTO_AUDIO_ADDON; else the one node-gyp-build picks in this package
// (build/Release/, then prebuilds/<platform>-<arch>/); else, in a checkout of
// the repository, its top-level CMake build. A platform without a backend
// gets one error naming it and the supported ones.
const fs = require('node:fs');
const path = require('node:path');
const platforms = require('./platforms.js');

function repositoryBuild() {
  if (__dirname.split(path.sep).includes('node_modules')) return null;
  const file = path.join(__dirname, '..', '..', '..', '..', 'build',
                         'apps', 'desktop', 'native', 'parlanto-audio', 'parlanto_audio.node');
  return fs.existsSync(file) ? file : null;
}

function open(file) {
  try {
    return require(file);
  } catch (error) {
    const missingLibrary = /lib(pulse)[^:]*\.so[^:]*: cannot open shared object file/.exec(error.message);
    const hint = missingLibrary ? ' The PulseAudio client library is missing (Debian and Ubuntu: apt-get install libpulse0).' : '';
    throw new Error(`parlanto-audio could not load ${file}: ${error.message}${hint}`, { cause: error });
  }
}

function load() {
  if (process.env.PARLANTO_AUDIO_ADDON) return open(path.resolve(process.env.PARLANTO_AUDIO_ADDON));
  const file = platforms.findBinary(__dirname) || repositoryBuild();
  if (file) return open(file);
  if (!platforms.hasBackend()) throw platforms.unsupportedError(__dirname);
  const error = new Error(`parlanto-audio has no binary for ${platforms.target()}: none is prebuilt for it and ` +
                          'none was built at install (were install scripts off?). Build one with ' +
                          '`PARLANTO_AUDIO_BUILD_FROM_SOURCE=1 npm rebuild parlanto-audio` (needs CMake 3.20 or newer, ' +
                          'a C++20 compiler and the PulseAudio headers). Supported: ' +
                          `${platforms.supportedText(__dirname)}.`);
  error.code = 'ERR_PARLANTO_AUDIO_NO_BINARY';
  throw error;
}

module.exports = load();
