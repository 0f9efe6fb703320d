#!/usr/bin/env bash
# Writes the demo's recording: two seconds of room tone, "tollivaren clip it"
# spoken by a synthetic voice, and a pause, at 22.05 kHz mono as a microphone
# would deliver it. The voice (Caribbean English) is one the built-in
# classifier never heard in training.   make_demo_recording.sh OUT.wav
set -euo pipefail
out=${1:?usage: make_demo_recording.sh OUT.wav}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
espeak-ng -v en-029 -s 140 -w "$tmp/phrase.wav" "tollivaren clip it"
sox -q -n -r 22050 -c 1 -b 16 "$tmp/pause.wav" trim 0 2.0
sox -q "$tmp/pause.wav" "$tmp/phrase.wav" "$tmp/pause.wav" "$out"
