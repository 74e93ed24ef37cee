'use strict';
// Preloaded with `node --require` to make a process believe it runs on
// PARLANTO_FAKE_PLATFORM ("darwin-arm64"): what a package's install script and
// loader see on a system this machine is not.
const [platform, arch] = (process.env.PARLANTO_FAKE_PLATFORM || '').split('-');
if (platform && arch) {
  Object.defineProperty(process, 'platform', { value: platform });
  Object.defineProperty(process, 'arch', { value: arch });
}
