#!/usr/bin/env bash
# Finds out how valgrind can run a process that loads libobs on this CPU.
#   memcheck_probe.sh BUILD_DIR
#       runs the probe (a program that only loads libobs) under valgrind and
#       prints one verdict line, exit status 0:
#         native              valgrind runs libobs processes as they are
#         hwy-stub            only with libhwy's timer probe stubbed: the CPU
#                             does not advertise RDTSCP (hwy_timer_stub.cpp)
#         unsupported: <why>  valgrind cannot run a libobs process here
#       Any other failure of the probe prints its log and exits 1: it is not
#       something this script may wave through.
#   memcheck_probe.sh --classify LOG STATUS
#       the reading of one probe run (its valgrind log and exit status):
#       ok, rdtscp, "unrecognised: <instruction bytes>" or error.
set -euo pipefail

classify() { # log status
  local log=$1 status=$2 bytes
  if [ "$status" -eq 0 ]; then
    echo ok
    return
  fi
  if grep -q "valgrind: Unrecognised instruction" "$log"; then
    bytes=$(sed -n 's/.*unhandled instruction bytes: \(.*\)$/\1/p' "$log" | head -n1)
    case $bytes in
    "0xF 0x1 0xF9"*) echo rdtscp ;;
    *) echo "unrecognised: ${bytes:-unknown bytes}" ;;
    esac
    return
  fi
  echo error
}

if [ "${1:-}" = "--classify" ]; then
  classify "$2" "$3"
  exit 0
fi

build=${1:?usage: memcheck_probe.sh BUILD_DIR}
probe="$build/obs_voice_plugin/native/tests/sanitizers/libobs_probe"
stub="$build/obs_voice_plugin/native/tests/sanitizers/libhwy_timer_stub.so"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

run_probe() { # preload
  local status=0
  env ${1:+LD_PRELOAD="$1"} valgrind --tool=memcheck --error-exitcode=3 --log-file="$log" "$probe" \
    >/dev/null 2>&1 || status=$?
  classify "$log" "$status"
}

fail() {
  echo "memcheck probe: valgrind failed on a program that only loads libobs ($1); log follows" >&2
  cat "$log" >&2
  exit 1
}

reading=$(run_probe "")
case $reading in
ok) echo native; exit 0 ;;
rdtscp) ;;
unrecognised:*) echo "unsupported: valgrind cannot translate the instruction bytes ${reading#unrecognised: } that loading libobs executes"; exit 0 ;;
*) fail "$reading" ;;
esac

reading=$(run_probe "$stub")
case $reading in
ok) echo hwy-stub ;;
rdtscp | unrecognised:*) echo "unsupported: valgrind cannot translate an instruction that loading libobs executes, even with libhwy's timer probe stubbed (${reading})" ;;
*) fail "$reading, with libhwy's timer probe stubbed" ;;
esac
