#!/usr/bin/env node
'use strict';
// `npm install` hook. Never compiles when a binary for this process is there
// (a prebuild, or an earlier build). Builds from source when asked
// (PARLANTO_AUDIO_BUILD_FROM_SOURCE=1 npm rebuild parlanto-audio) or when a
// supported platform has no prebuild; only a build that was asked for can
// fail the install. A platform without a backend installs too, and require()
// then says which platforms are supported.
const path = require('node:path');
const platforms = require('../platforms.js');
const { buildFromSource } = require('./build-from-source.js');

const root = path.resolve(__dirname, '..');
const asked = /^(1|true)$/i.test(process.env.npm_config_build_from_source || '') ||
              /^(1|true)$/i.test(process.env.PARLANTO_AUDIO_BUILD_FROM_SOURCE || '');

function main() {
  if (!asked) {
    const found = platforms.findBinary(root);
    if (found) {
      console.log(`parlanto-audio: using ${path.relative(root, found)}`);
      return 0;
    }
    if (!platforms.hasBackend()) {
      console.warn(`parlanto-audio: ${platforms.unsupportedError(root).message} ` +
                   'Installed anyway; loading it on this system throws that error.');
      return 0;
    }
  }
  const status = buildFromSource(root);
  if (status === 0 || asked) return status;
  // A build nobody asked for must not fail the app's install: require()
  // names what is missing instead.
  console.warn('parlanto-audio: installed without a binary; require() throws until one is built.');
  return 0;
}

process.exitCode = main();
