'use strict';
// The sidecar program prebuilt for this platform, and the client that runs it
// as a child process. createSidecar() is what an app calls; `command` names
// another build of the program (one made from the repository's sources).
const fs = require('node:fs');
const path = require('node:path');
const client = require('./client.js');

const executable = process.platform === 'win32' ? 'sidecar.exe' : 'sidecar';

function prebuiltTargets() {
  try {
    return fs.readdirSync(path.join(__dirname, 'prebuilds'))
      .filter((name) => fs.existsSync(path.join(__dirname, 'prebuilds', name, name.startsWith('win32-') ? 'sidecar.exe' : 'sidecar')))
      .sort();
  } catch {
    return [];
  }
}

// The path of the program for this platform; throws when none is prebuilt.
function sidecarPath() {
  const target = `${process.platform}-${process.arch}`;
  const file = path.join(__dirname, 'prebuilds', target, executable);
  // Inside an Electron app's asar archive a program cannot be run; the copy
  // that `asarUnpack` puts beside the archive can.
  const unpacked = file.replace(/app\.asar([\\/])/, 'app.asar.unpacked$1');
  if (unpacked !== file && fs.existsSync(unpacked)) return unpacked;
  if (fs.existsSync(file)) return file;
  const supported = prebuiltTargets();
  const error = new Error(`parlanto-sidecar has no prebuilt program for ${target}. ` +
                          `Supported: ${supported.length > 0 ? supported.join(', ') : 'none in this copy'}; ` +
                          'elsewhere build the sidecar from the repository and pass its path as `command`.');
  error.code = 'ERR_PARLANTO_SIDECAR_UNSUPPORTED_PLATFORM';
  error.platform = target;
  throw error;
}

function createSidecar(options = {}) {
  return new client.SidecarClient({ ...options, command: options.command || sidecarPath() });
}

module.exports = { createSidecar, sidecarPath, ...client };
