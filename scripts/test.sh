#!/usr/bin/env bash
# Runs the whole test suite from a fresh checkout: installs what is missing,
# builds, and runs every test under a virtual X display (libobs needs one).
#
# Stages, in order (TV_STAGES picks some, e.g. TV_STAGES="normal asan"):
#   normal  every test, in an ordinary build
#   asan    every test again under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan    the threaded tests under ThreadSanitizer
#   fuzz    each libFuzzer target for a bounded time (TV_FUZZ_SECONDS, 30)
#   memcheck the end-to-end demo scenario under valgrind
#   package  the Debian package installed by apt, loaded and purged in a fresh
#            Debian chroot (debootstrap; about 5 minutes, mostly downloads)
#   realobs the real OBS Studio app (Debian's obs-studio) with the plug-in
#           installed: end to end, teaching it a voice by the hotkey and
#           keeping it over a restart, 20 closes while commands flow,
#           re-pairing while commands wait (obs_voice_plugin/native/tests/real_obs)
#   obs32   Debian sid's OBS 32 in a fresh chroot: everything built against
#           its SDK, the real app end to end, re-pairing and 10 closes while
#           commands flow with that build, end to end with this machine's
#           OBS 29 build and with the Debian package installed by apt-get
#           (about 7 minutes)
# Extra arguments go to ctest in the normal stage.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs="${TV_JOBS:-2}"
stages="${TV_STAGES:-normal asan tsan fuzz memcheck package realobs obs32}"
supp="$root/obs_voice_plugin/native/tests/sanitizers"

bash "$root/scripts/setup.sh"

want() { [[ " $stages " == *" $1 "* ]]; }
# Each banner also closes the stage before it with its wall time.
stage_started=$SECONDS
stage_times=""
banner() {
  [ -n "${stage_name:-}" ] && stage_times+="${stage_name} $((SECONDS - stage_started)) s; "
  stage_name=${1%%:*}
  stage_started=$SECONDS
  echo; echo "==== $* ===="
}

configure_and_build() { # dir, extra cmake args..., then -- targets...
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
  if [ ${#targets[@]} -eq 0 ]; then
    cmake --build "$dir" -j"$jobs"
  else
    cmake --build "$dir" -j"$jobs" --target "${targets[@]}"
  fi
}

run_ctest() { # dir, ctest args...
  local dir=$1; shift
  (cd "$dir" && xvfb-run -a -s "-screen 0 640x480x24" ctest --output-on-failure -j"$jobs" "$@")
}

if want normal; then
  banner "normal build: every test"
  configure_and_build "$root/build"
  run_ctest "$root/build" "$@"
fi

if want asan; then
  banner "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
  configure_and_build "$root/build-asan" -DTV_SANITIZE=address
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_ctest "$root/build-asan"
fi

if want tsan; then
  banner "ThreadSanitizer: worker, tap, poll service, faults, stress, clip end to end"
  tsan_tests=(upload_worker_test audio_tap_test control_service_test control_actions_test voice_clip_e2e_test
    faults_request_test faults_control_test faults_host_test stress_filter_test stress_module_cycles_test
    frontend_window_test)
  configure_and_build "$root/build-tsan" -DTV_SANITIZE=thread -- "${tsan_tests[@]}" tollivaren-voice
  tsan_pattern=$(IFS='|'; echo "^(${tsan_tests[*]})\$")
  TSAN_OPTIONS="suppressions=$supp/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
    run_ctest "$root/build-tsan" -R "$tsan_pattern"
fi

if want fuzz; then
  banner "libFuzzer: every parser of outside input"
  TV_FUZZ_BUILD="$root/build-fuzz" bash "$root/obs_voice_plugin/native/fuzz/run_fuzzers.sh" "${TV_FUZZ_SECONDS:-30}"
fi

if want memcheck; then
  banner "valgrind memcheck: the end-to-end demo scenario"
  configure_and_build "$root/build" -- tollivaren-demo libobs_probe hwy_timer_stub
  bash "$root/scripts/memcheck_demo.sh" "$root/build"
fi

if want package; then
  banner "Debian package: apt-get install, load and purge in a fresh chroot"
  configure_and_build "$root/build" -- tollivaren-voice wake-score tollivaren-headless-host
  bash "$root/scripts/test_deb_chroot.sh"
fi

if want realobs; then
  banner "real OBS app: end to end, closes while commands flow, re-pairing"
  bash "$root/scripts/setup.sh" --real-obs
  configure_and_build "$root/build" -- tollivaren-voice wake-score tollivaren-dashboard
  TV_BUILD_DIR="$root/build" bash "$root/obs_voice_plugin/native/tests/real_obs/run.sh"
fi

if want obs32; then
  banner "OBS 32 (Debian sid chroot): build against its SDK, the real app end to end"
  bash "$root/scripts/setup.sh" --real-obs
  configure_and_build "$root/build" -- tollivaren-voice wake-score tollivaren-dashboard
  TV_BUILD_DIR="$root/build" bash "$root/scripts/test_obs32_chroot.sh"
fi

echo
[ -n "${stage_name:-}" ] && stage_times+="${stage_name} $((SECONDS - stage_started)) s"
echo "all stages passed: $stages"
echo "wall time per stage: ${stage_times:-none}; whole run $SECONDS s"
