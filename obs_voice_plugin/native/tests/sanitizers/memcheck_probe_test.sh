#!/usr/bin/env bash
# The memcheck probe's reading of valgrind logs: the real failure text of a
# CPU without RDTSCP, another instruction valgrind cannot translate, and a
# real memcheck error, which must never be taken for a CPU limitation.
#   memcheck_probe_test.sh PROBE_SCRIPT DATA_DIR
set -euo pipefail
probe=$1 data=$2
failures=0
expect() { # what log status want
  local got
  got=$(bash "$probe" --classify "$2" "$3")
  if [ "$got" != "$4" ]; then
    echo "FAIL $1: got '$got', want '$4'"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed 's/0xF 0x1 0xF9 0x48/0x62 0xF1 0x7C 0x48/' "$data/valgrind_rdtscp_sigill.log" > "$tmp/other.log"

expect "RDTSCP in libhwy's initialiser (SIGILL)" "$data/valgrind_rdtscp_sigill.log" 132 rdtscp
expect "another untranslatable instruction" "$tmp/other.log" 132 \
  "unrecognised: 0x62 0xF1 0x7C 0x48 0xC1 0xE2 0x20 0x48 0x9 0xD0"
expect "a memcheck error is an error" "$data/valgrind_invalid_read.log" 3 error
expect "a memcheck error stays an error whatever the status" "$data/valgrind_invalid_read.log" 132 error
printf '==1== Command: ./libobs_probe\n==1== ERROR SUMMARY: 0 errors from 0 contexts\n' > "$tmp/clean.log"
expect "a clean run" "$tmp/clean.log" 0 ok
[ "$failures" -eq 0 ]
