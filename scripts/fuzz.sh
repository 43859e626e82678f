#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one:
#   fuzz.sh MINUTES [TARGET...]        e.g. fuzz.sh 10
#   fuzz.sh --seconds N [TARGET...]    the short run of the test command
# FUZZ_JOBS=N runs N targets at once (default 1). Every target starts from
# its seeds in fuzz/corpus/<target> plus what earlier runs found (kept in
# the build folder); inputs that crash or break a property land in
# build-fuzz/findings/<target>. Without a compiler that supports
# -fsanitize=fuzzer it says so and succeeds.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

usage() { echo "usage: $0 MINUTES [TARGET...] | $0 --seconds N [TARGET...]" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
if [[ $1 == --seconds ]]; then
  [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] || usage
  seconds=$2; shift 2
else
  [[ $1 =~ ^[0-9]+$ ]] || usage
  seconds=$(( $1 * 60 )); shift
fi
jobs=${FUZZ_JOBS:-1}

cc=${FUZZ_CC:-clang}; cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "Fuzzing skipped: $cxx is not installed (Debian: clang libclang-rt-14-dev)."
  exit 0
fi
mkdir -p "$build"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=$cc CXX=$cxx cmake -S "$root" -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARDOCAM_BUILD_TESTS=OFF -DVARDOCAM_BUILD_BENCH=OFF -DVARDOCAM_BUILD_FUZZ=ON \
  "${launcher[@]}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
if ! grep -q 'VARDOCAM_HAVE_LIBFUZZER:INTERNAL=1' "$build/CMakeCache.txt"; then
  echo "Fuzzing skipped: $cxx does not support -fsanitize=fuzzer (Debian: libclang-rt-14-dev)."
  exit 0
fi
cmake --build "$build" -j "$(nproc)" --target vardocam_fuzz >/dev/null

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for dir in "$root"/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

run_one() {
  local t=$1
  local work="$build/corpus/$t" found="$build/findings/$t" log="$build/logs/$t.log"
  mkdir -p "$work" "$found" "$(dirname "$log")"
  # The memory caps make a parser that grows without bound a finding too.
  "$build/fuzz/${t}_fuzz" "$work" "$root/fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -print_final_stats=1 -artifact_prefix="$found/" >"$log" 2>&1
}

failed=0
pids=()
for t in "${targets[@]}"; do
  [[ -x "$build/fuzz/${t}_fuzz" ]] || { echo "no fuzz target $t" >&2; exit 2; }
  run_one "$t" & pids+=($!)
  if [[ ${#pids[@]} -ge $jobs ]]; then wait "${pids[0]}" || true; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

printf '%-18s %14s %8s  %s\n' target executions seconds findings
for t in "${targets[@]}"; do
  log="$build/logs/$t.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  findings=$(grep -cE '^(==[0-9]+==ERROR|property failed|SUMMARY: )' "$log" || true)
  [[ -n $runs ]] || findings=$(( findings + 1 ))
  printf '%-18s %14s %8s  %s\n' "$t" "${runs:-?}" "$seconds" \
    "$([[ $findings -eq 0 ]] && echo none || echo "see $log")"
  [[ $findings -eq 0 ]] || failed=1
done
exit $failed
