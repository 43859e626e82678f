#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs every test twice:
# once in a normal build and once under AddressSanitizer and UBSan; then
# runs every fuzz target for a short, fixed time.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" test

run_suite() {
  local dir=$1; shift
  "$root/scripts/build.sh" "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j 2)
}

echo "== Build and tests =="
# Explicitly on: run.sh may have configured the same folder without them.
run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDOCAM_BUILD_TESTS=ON -DVARDOCAM_BUILD_BENCH=ON
echo "== Build and tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVARDOCAM_SANITIZE=ON -DVARDOCAM_BUILD_BENCH=OFF
# Long enough to replay the seeds and find shallow faults; the long runs
# are scripts/fuzz.sh MINUTES.
fuzz_seconds_per_target=20
echo "== Fuzz targets, ${fuzz_seconds_per_target} s each =="
FUZZ_JOBS=$(nproc) "$root/scripts/fuzz.sh" --seconds "$fuzz_seconds_per_target"
