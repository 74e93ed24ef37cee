'use strict';
// The synthesised interview: the phrases, their voices (espeak-ng into WAV
// files) and where their speech really starts and ends.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { decodeWav } = require('./wav.js');

// The speech-end detector's level threshold (RMS, full scale = 1).
const kThreshold = 0.018;

// Interviewer turns are played into the output device (the loopback capture
// hears them); the candidate's answer goes into the microphone when the demo
// can feed one.
const interview = [
  { target: 'loopback', text: 'Can you walk me through your last project?' },
  { target: 'mic', text: 'Sure, I built a payment service with Spring Boot and Kafka.' },
  { target: 'loopback', text: 'How would you design a REST API?' },
  { target: 'loopback', text: "Okay, let's move on to Kafka." },
  { target: 'loopback', text: 'Remember this one: what is a Kafka consumer group?' },
  { target: 'loopback', text: 'Kafka retries?' },
];

function synthesise(text, file, { speed = 165 } = {}) {
  execFileSync('espeak-ng', ['-s', String(speed), '-w', file, text], { stdio: ['ignore', 'ignore', 'pipe'] });
}

// Speech boundaries of a WAV file, from the RMS of 10 ms windows against the
// detector's threshold: { duration, voicedStart, voicedEnd, longestPause }
// in seconds. `longestPause` is the longest quiet stretch inside the speech;
// past the detector's 420 ms it would split the phrase in two.
function speechBounds(file) {
  const wav = decodeWav(fs.readFileSync(file));
  const frames = wav.data.length / (2 * wav.channels);
  const window = Math.max(1, Math.round(wav.sampleRate / 100));
  let first = -1;
  let last = -1;
  let longestPause = 0;
  for (let start = 0; start < frames; start += window) {
    const end = Math.min(frames, start + window);
    let sum = 0;
    for (let f = start; f < end; f++) {
      for (let c = 0; c < wav.channels; c++) {
        const v = wav.data.readInt16LE((f * wav.channels + c) * 2) / 32768;
        sum += v * v;
      }
    }
    if (Math.sqrt(sum / ((end - start) * wav.channels)) >= kThreshold) {
      if (first < 0) first = start;
      else longestPause = Math.max(longestPause, start - last);
      last = end;
    }
  }
  return {
    duration: frames / wav.sampleRate,
    voicedStart: first < 0 ? 0 : first / wav.sampleRate,
    voicedEnd: last < 0 ? 0 : last / wav.sampleRate,
    longestPause: longestPause / wav.sampleRate,
  };
}

// Writes phrase-N.wav into `dir` for every phrase; returns the phrases with
// `file` and their bounds.
function prepareInterview(dir, phrases = interview) {
  return phrases.map((phrase, index) => {
    const file = path.join(dir, `phrase-${index + 1}.wav`);
    synthesise(phrase.text, file);
    return { ...phrase, index, file, ...speechBounds(file) };
  });
}

module.exports = { interview, kThreshold, synthesise, speechBounds, prepareInterview };
