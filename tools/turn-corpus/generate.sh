#!/usr/bin/env bash
# Speaks the turn corpus's sentences with espeak-ng and stores them as 16 kHz
# mono 16-bit WAV files in speech/ (the committed copies; the tests read those,
# so they do not change with espeak's version). Run again only to change the
# corpus; conditions are mixed from these files by corpus.js and the unit tests.
set -euo pipefail
cd "$(dirname "$0")"
out=speech
rm -rf "$out"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name|voice|words-a-minute|text
while IFS='|' read -r name voice speed text; do
  [ -z "$name" ] && continue
  espeak-ng -v "$voice" -s "$speed" -w "$tmp/$name.wav" "$text"
  # Peak at -3 dBFS; the mixing sets every condition's level itself.
  sox "$tmp/$name.wav" -r 16000 -c 1 -b 16 "$out/$name.wav" gain -n -3
done <<'LIST'
q01|en-us|165|Tell me about yourself and your background.
q02|en-gb+f3|160|Why do you want to work here?
q03a|en-gb-scotland+m3|155|Describe a difficult bug you fixed.
q03b|en-gb-scotland+m3|155|How did you find the cause?
q04|en-029+f2|170|What is your greatest strength?
q05|en-us+m7|160|Where do you see yourself in five years?
q06a|en-gb+f4|165|Tell me about a time you disagreed with your manager.
q06b|en-gb+f4|165|What happened next?
q07|en-us+f1|175|How do you prioritise your work when everything is urgent?
q08|en-gb-x-rp+m2|150|What would your colleagues say about you?
q09a|en-us+f5|160|Walk me through a project you are proud of.
q09b|en-us+f5|160|What was your part in it?
q10|en-gb+m4|165|Do you have any questions for us?
b1|en-us+m1|170|The train was late again this morning, so I walked the last part of the way.
b2|en-gb+f2|165|We should order more paper for the printer, and call the landlord about the heating.
b3|en-029+m6|160|My sister moved to a new flat and the neighbours brought her a cake.
LIST
du -ch "$out"/*.wav | tail -1
