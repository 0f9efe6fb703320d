#!/usr/bin/env bash
# Installs the plug-in where OBS Studio on Linux finds a user plug-in, for the
# current user, or removes it again:
#   scripts/install.sh              build if needed, then install
#   scripts/install.sh --uninstall  remove what install laid out
# Both plug-in folders are filled: the one of OBS 33 and later
# (~/.local/share/obs-studio/plugins/tollivaren-voice) and the older one
# (~/.config/obs-studio/plugins/tollivaren-voice); each holds
# bin/64bit/tollivaren-voice.so with its private ONNX Runtime copy beside it, and data/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"
home="${HOME:?HOME is not set}"
roots=("${XDG_DATA_HOME:-$home/.local/share}/obs-studio/plugins"
       "${XDG_CONFIG_HOME:-$home/.config}/obs-studio/plugins")

if [ "${1:-}" = "--uninstall" ]; then
  for r in "${roots[@]}"; do
    if [ -d "$r/tollivaren-voice" ]; then
      rm -rf "$r/tollivaren-voice"
      echo "removed $r/tollivaren-voice"
    fi
  done
  exit 0
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  bash "$root/scripts/setup.sh"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-voice wake-score

for r in "${roots[@]}"; do
  rm -rf "$r/tollivaren-voice"
  cmake --install "$build" --prefix "$r" --component plugin >/dev/null
  echo "installed $r/tollivaren-voice"
done
