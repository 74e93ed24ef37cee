'use strict';
// Loaded with --require into a Node.js that a sanitizer build starts with its
// runtimes in LD_PRELOAD. This process keeps them; the programs the demo
// starts (the audio server, pactl, paplay, espeak-ng) must not inherit them:
// the audio server hangs under them.
delete process.env.LD_PRELOAD;
