#!/usr/bin/env node
'use strict';
// `npm install` hook. Never compiles when a binary for this process is there
// (a prebuild, or an earlier build), and never fails the app's install on a
// platform without a backend (require() then says so). Builds from source
// when asked (`npm rebuild parlanto-audio --build-from-source`, or
// PARLANTO_AUDIO_BUILD_FROM_SOURCE=1) or when a supported platform has no
// prebuild.
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
  return buildFromSource(root);
}

process.exitCode = main();
