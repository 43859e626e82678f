#!/usr/bin/env bash
# Runs the compiled detection step, the same calls made directly, and the
# Python version, in one run: bench/run_detector_bench.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
"$build/bench/detector_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
# Debian's interpreter: python3-opencv is installed for it.
/usr/bin/python3 "$root/bench/detector_bench.py"
