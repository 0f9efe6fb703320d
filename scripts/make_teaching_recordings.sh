#!/usr/bin/env bash
# Writes the recordings of one synthetic streamer (espeak-ng's en-us voice)
# that the real-OBS teaching test plays through a looping media source:
#   session.wav  about 32 s: ordinary sentences with "tollivaren clip it" said
#                4 times between them (at about 7, 13, 20 and 26 s), as a
#                streamer speaks during a 30 s "teach my voice" session
#   phrase.wav   another take of the phrase alone, slower and lower, with 2 s
#                of silence before it and 1 s after
#   talk.wav     about 20 s of the same voice's other talk, no phrase
# at 22.05 kHz mono, as a microphone would deliver them.
#   make_teaching_recordings.sh DIR
# Check them by hand with the score tool:
#   wake-score enroll --out DIR/profile.txt DIR/session.wav
#   wake-score --profile DIR/profile.txt DIR/phrase.wav   (fires 1)
#   wake-score --profile DIR/profile.txt DIR/talk.wav     (fires 0)
set -euo pipefail
dir=${1:?usage: make_teaching_recordings.sh DIR}
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

session_text="Alright chat, welcome back to the stream, today we are trying the new ranked map. Tollivaren clip it. \
Okay so the plan is to rotate left and hold the bridge until the timer runs out. Tollivaren clip it. \
That was honestly the cleanest round I have played all week, thanks for the follows. Tollivaren clip it. \
Let me check the settings, the sensitivity feels a little off today. Tollivaren clip it. \
Anyway, we go again, grab some water and stay hydrated everyone."
talk_text="So yesterday I tried to build the whole base in one go and of course the creepers came and blew up half \
of it. We will fix that later, I promise, but first let us finish the quest line and get the armour upgrade. \
Somebody in chat asked about my keyboard, it is the same one as last year."

espeak-ng -v en-us -s 165 -w "$tmp/session.wav" "$session_text"
espeak-ng -v en-us -s 140 -p 40 -w "$tmp/phrase.wav" "Tollivaren clip it."
espeak-ng -v en-us -s 165 -w "$tmp/talk.wav" "$talk_text"
sox -q -n -r 22050 -c 1 -b 16 "$tmp/pause.wav" trim 0 1.0
sox -q "$tmp/pause.wav" "$tmp/session.wav" "$tmp/pause.wav" "$dir/session.wav"
sox -q "$tmp/pause.wav" "$tmp/pause.wav" "$tmp/phrase.wav" "$tmp/pause.wav" "$dir/phrase.wav"
sox -q "$tmp/pause.wav" "$tmp/talk.wav" "$tmp/pause.wav" "$dir/talk.wav"
