#!/usr/bin/env bash
# The plug-in doing its whole job on this machine, with no account and no OBS
# window: a local dashboard, a headless OBS host with the plug-in loaded and
# paired, a spoken "tollivaren clip it", and chat commands carried out in OBS.
#   scripts/demo.sh [--verbose]   (--verbose also prints the OBS log)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"

echo "[demo] installing what is missing and building (first run: a few minutes)"
bash "$root/scripts/setup.sh" >/dev/null
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-demo >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/make_demo_recording.sh" "$work/recording.wav"

plugin="$build/plugin/tollivaren-voice"
xvfb-run -a "$build/obs_voice_plugin/native/tools/demo/tollivaren-demo" \
  --module "$plugin/bin/64bit/tollivaren-voice.so" --data "$plugin/data" \
  --phrase-wav "$work/recording.wav" "$@"
