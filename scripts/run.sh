#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine with what the program needs, builds the
# program alone and starts it in its working folder, which holds the idle
# picture and the alarm sound.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" run
# Tests and benchmarks stay off: their libraries are not installed here.
cmake -S "$root" -B "$root/build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARDOCAM_BUILD_TESTS=OFF -DVARDOCAM_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target vardocam

# The frame file is rewritten on every tick: keep it on tmpfs when there is one.
if [[ -n "${XDG_RUNTIME_DIR:-}" && -d "${XDG_RUNTIME_DIR}" ]]; then
  work="$XDG_RUNTIME_DIR/vardocam"
else
  work="$root/build/run"
fi
mkdir -p -m 0700 "$work"
cp -f "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$work/" 2>/dev/null || true
cd "$work"
exec "$root/build/vardocam" "$@"
