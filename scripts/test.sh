#!/usr/bin/env bash
# Runs the whole test suite from a fresh checkout: installs what is missing,
# builds, and runs every test under a virtual X display (libobs needs one).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"
jobs="${TV_JOBS:-2}"

bash "$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"

cd "$build"
xvfb-run -a -s "-screen 0 640x480x24" ctest --output-on-failure -j"$jobs" "$@"
