'use strict';
// The sidecar program for this platform (prebuilt, or built from source at
// install), and the client that runs it as a child process. createSidecar() is what an app calls; `command` names
// another build of the program.
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

// The program for this platform: one built from source at install, else the
// prebuilt one; throws when there is neither.
function sidecarPath() {
  const target = `${process.platform}-${process.arch}`;
  const local = path.join(__dirname, 'build', executable);
  const file = fs.existsSync(local) ? local : path.join(__dirname, 'prebuilds', target, executable);
  // Inside an Electron app's asar archive a program cannot be run; the copy
  // that `asarUnpack` puts beside the archive can.
  const unpacked = file.replace(/app\.asar([\\/])/, 'app.asar.unpacked$1');
  if (unpacked !== file && fs.existsSync(unpacked)) return unpacked;
  if (fs.existsSync(file)) return file;
  const supported = prebuiltTargets().map((t) => `${t} (prebuilt)`);
  supported.push('any system with CMake and a C++20 compiler (built from source at install)');
  const error = new Error(`parlanto-sidecar has no program for ${target}: none is prebuilt for it and none was ` +
                          `built at install. Supported: ${supported.join(', ')}. Build it with ` +
                          '`PARLANTO_SIDECAR_BUILD_FROM_SOURCE=1 npm rebuild parlanto-sidecar`, ' +
                          'or pass the path of a program you built as `command`.');
  error.code = 'ERR_PARLANTO_SIDECAR_NO_PROGRAM';
  error.platform = target;
  throw error;
}

function createSidecar(options = {}) {
  return new client.SidecarClient({ ...options, command: options.command || sidecarPath() });
}

module.exports = { createSidecar, sidecarPath, ...client };
