#!/usr/bin/env bash
# Configures and builds one build folder: build.sh DIR [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$1; shift
cmake -S "$root" -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
