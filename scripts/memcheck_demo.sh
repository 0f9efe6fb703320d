#!/usr/bin/env bash
# The demo scenario under valgrind memcheck: fails on any invalid access or
# leak in the plug-in. ONNX Runtime's own process-wide allocations and its
# exit-time thread are suppressed (tests/sanitizers/valgrind.supp says why).
# The real models take minutes per second of audio under valgrind, so the
# plug-in runs with tiny stand-in models of the same shapes (the detector's
# test models, whose classifier always scores 0.87): every code path of the
# plug-in runs, only the inference inside ONNX Runtime is trivial.
# On a CPU without RDTSCP, valgrind can only run a libobs process with
# libhwy's timer probe stubbed; memcheck_probe.sh finds that out first.
#   memcheck_demo.sh BUILD_DIR  (with tollivaren-demo, libobs_probe and
#                                hwy_timer_stub built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
verdict=$(bash "$root/scripts/memcheck_probe.sh" "$build")
preload=""
case $verdict in
native) ;;
hwy-stub)
  preload="$build/obs_voice_plugin/native/tests/sanitizers/libhwy_timer_stub.so"
  echo "memcheck: this CPU does not advertise RDTSCP, which libhwy (loaded by libobs) runs in its initialiser and valgrind cannot translate: libhwy's timer probe is stubbed in the process under test" ;;
unsupported:*)
  echo "memcheck: skipped, ${verdict#unsupported: }; AddressSanitizer and LeakSanitizer already checked every test for invalid accesses and leaks"
  exit 0 ;;
*) echo "memcheck: unexpected probe verdict '$verdict'" >&2; exit 1 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/make_demo_recording.sh" "$work/recording.wav"
plugin="$build/plugin/tollivaren-voice"
mkdir -p "$work/data/models" "$work/tiny"
cp -r "$plugin/data/locale" "$work/data/"
/usr/bin/python3 "$root/obs_voice_plugin/native/tests/detector/make_tiny_models.py" "$work/tiny"
cp "$work/tiny/mel_frames_200.onnx" "$work/data/models/melspectrogram.onnx"
cp "$work/tiny/embedding_head.onnx" "$work/data/models/embedding_model.onnx"
cp "$work/tiny/classifier_constant.onnx" "$work/data/models/tollivaren_clip_it.onnx"
xvfb-run -a env ${preload:+LD_PRELOAD="$preload"} valgrind --tool=memcheck --error-exitcode=3 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --suppressions="$root/obs_voice_plugin/native/tests/sanitizers/valgrind.supp" \
  --log-file="$work/memcheck.log" \
  "$build/obs_voice_plugin/native/tools/demo/tollivaren-demo" \
  --module "$plugin/bin/64bit/tollivaren-voice.so" --data "$work/data" \
  --phrase-wav "$work/recording.wav" --patience 20 || status=$?
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost" "$work/memcheck.log" || true
if [ "${status:-0}" -ne 0 ]; then
  echo "memcheck: the demo under valgrind failed (status ${status}); log follows" >&2
  cat "$work/memcheck.log" >&2
  exit 1
fi
echo "memcheck: clean"
