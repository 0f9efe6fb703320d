#!/usr/bin/env bash
# Builds the libFuzzer targets (if needed) and runs each for a bounded time.
#
#   fuzz/run_fuzzers.sh [seconds per target] [target ...]
#
# Defaults: 30 s each, every target. Environment: TV_FUZZ_BUILD (build dir,
# default <repo>/build-fuzz), TV_FUZZ_JOBS (build jobs, and targets run at
# once, default 2).
# The seeds in fuzz/corpus/<name>/ are read only; the inputs libFuzzer adds
# go to a temporary directory, removed after a clean run and kept (with any
# crash input) after a failing one. Exits non-zero on any crash, leak,
# time-out or sanitizer report.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
native="$(dirname "$here")"
repo="$(cd "$native/../.." && pwd)"
build="${TV_FUZZ_BUILD:-$repo/build-fuzz}"
jobs="${TV_FUZZ_JOBS:-2}"
seconds="${1:-30}"
shift $(( $# > 0 ? 1 : 0 ))
all_targets=(fuzz_pairing fuzz_retry_after fuzz_json_check fuzz_ping_answer fuzz_commands_answer
	fuzz_backend_http fuzz_model_name fuzz_window_push fuzz_voice_profile)
targets=("${@:-${all_targets[@]}}")

if [ ! -f "$build/CMakeCache.txt" ]; then
	compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo)
	if grep -q 'add_subdirectory(fuzz)' "$native/CMakeLists.txt"; then
		cmake -S "$repo" -B "$build" -DTV_FUZZ=ON -DTV_BUILD_TESTS=OFF "${compilers[@]}" >/dev/null || exit 1
	else
		cmake -S "$here" -B "$build" "${compilers[@]}" >/dev/null || exit 1
	fi
fi
cmake --build "$build" -j"$jobs" --target tv_fuzz >/dev/null || {
	echo "run_fuzzers: build failed (cmake --build $build --target tv_fuzz)" >&2
	exit 1
}

work="$(mktemp -d /tmp/tv-fuzz-XXXXXX)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Each target runs on one core; they run side by side, one per build job.
run_target() { # target; writes "<runs> <result>" to $work/<target>.result
	local target=$1 binary name log rc runs result
	binary="$(find "$build" -maxdepth 4 -type f -name "$target" -perm -u+x | head -n 1)"
	name="${target#fuzz_}"
	if [ -z "$binary" ]; then
		echo "- not built" >"$work/$target.result"
		return
	fi
	mkdir -p "$work/corpus/$name" "$work/artifacts"
	log="$work/$target.log"
	"$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -detect_leaks=1 -timeout=20 \
		-print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
		"$work/corpus/$name" "$here/corpus/$name" >"$log" 2>&1
	rc=$?
	runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
	runs="${runs:-0}"
	if [ $rc -ne 0 ] || grep -qE 'ERROR: (Address|Leak|Undefined)Sanitizer|runtime error:|invariant failed' "$log"; then
		result="FAILED (exit $rc): see $log"
	else
		result="ok"
	fi
	echo "$runs $result" >"$work/$target.result"
}

running=0
for target in "${targets[@]}"; do
	if [ $running -ge "$jobs" ]; then
		wait -n
		running=$((running - 1))
	fi
	run_target "$target" &
	running=$((running + 1))
done
wait

failed=0
total=0
printf '%-22s %12s  %s\n' target executions result
for target in "${targets[@]}"; do
	read -r runs result <"$work/$target.result" || { runs=-; result="FAILED: no result"; }
	[ "$result" = ok ] || failed=1
	[ "$runs" = - ] || total=$((total + runs))
	printf '%-22s %12s  %s\n' "$target" "$runs" "$result"
done
printf '%-22s %12s\n' total "$total"

if [ $failed -ne 0 ]; then
	echo "run_fuzzers: failures; logs, inputs and crash artifacts kept in $work" >&2
	exit 1
fi
rm -rf "$work"
