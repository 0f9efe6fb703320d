#!/usr/bin/env bash
# The plug-in doing its work in a headless OBS host, on this machine, with no
# account and no OBS window.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-headless-host >&2

plugin="$build/plugin/tollivaren-voice"
exec xvfb-run -a "$build/obs_voice_plugin/native/tools/obs_host/tollivaren-headless-host" \
  --module "$plugin/bin/64bit/tollivaren-voice.so" --data "$plugin/data" \
  --tone 440 --seconds 3 --scenes "Live=Mic"
