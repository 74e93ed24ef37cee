'use strict';
// Scores the capture layer's turn detectors on the corpus and prints a table:
// F1 per condition for the level rule and the voice detector, the voice
// detector's end delays, and how fast it runs offline.
//   PARLANTO_AUDIO_ADDON=build/.../parlanto_audio.node node tools/turn-corpus/score.js [--min-silence 800] [--seed 2]

const path = require('node:path');
const { CONDITIONS, buildCondition, score, median, toInt16 } = require('./corpus.js');
const { detectSpeech } = require(path.resolve(__dirname, '../../apps/desktop/native/parlanto-audio/capture'));

const at = process.argv.indexOf('--min-silence');
const minSilenceMs = at > 0 ? Number(process.argv[at + 1]) : 420;
const seedAt = process.argv.indexOf('--seed');
const seed = seedAt > 0 ? Number(process.argv[seedAt + 1]) : 1;

const rows = [];
let audioSeconds = 0;
let voiceMs = 0;
let levelMs = 0;
for (const name of Object.keys(CONDITIONS)) {
  const condition = buildCondition(name, { seed });
  const pcm = toInt16(condition.pcm);
  audioSeconds += pcm.length / condition.sampleRate;
  const run = (detector) => {
    const began = process.hrtime.bigint();
    const { events } = detectSpeech(pcm, { sampleRate: condition.sampleRate, detector, minSilenceMs });
    const ms = Number(process.hrtime.bigint() - began) / 1e6;
    return { result: score(events, condition), ms };
  };
  const level = run('level');
  const voice = run('voice');
  levelMs += level.ms;
  voiceMs += voice.ms;
  rows.push({ name, label: condition.label, level: level.result, voice: voice.result });
}

const fmt = (n) => n.toFixed(2);
console.log(`minSilenceMs ${minSilenceMs}`);
console.log('| Condition | F1 level rule | F1 voice | misses / extra ends | ends inside turns | end delay ms (min / median / max) |');
console.log('|---|---|---|---|---|---|');
const all = [];
for (const { label, level, voice } of rows) {
  all.push(...voice.delays);
  const d = voice.delays;
  console.log(`| ${label} | ${fmt(level.f1)} | ${fmt(voice.f1)} | ${voice.misses} / ${voice.extra} | ${voice.insideTurns} | ` +
    `${Math.round(Math.min(...d))} / ${Math.round(median(d))} / ${Math.round(Math.max(...d))} |`);
}
console.log(`all delays: median ${Math.round(median(all))} ms, ${all.filter((x) => x < minSilenceMs || x > minSilenceMs + 280).length} of ${all.length} outside ${minSilenceMs}-${minSilenceMs + 280} ms`);
console.log(`offline: ${audioSeconds.toFixed(0)} s of 16 kHz audio; voice ${voiceMs.toFixed(0)} ms (${(audioSeconds * 1000 / voiceMs).toFixed(0)}x real time), level ${levelMs.toFixed(0)} ms`);
