#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the program and starts it in its
# working folder, which holds the idle picture and the alarm sound.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The frame file is rewritten on every tick: keep it on tmpfs when there is one.
if [[ -n "${XDG_RUNTIME_DIR:-}" && -d "${XDG_RUNTIME_DIR}" ]]; then
  work="$XDG_RUNTIME_DIR/vardocam"
else
  work="$root/build/run"
fi
mkdir -p "$work"
cp -f "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$work/" 2>/dev/null || true
cd "$work"
exec "$root/build/vardocam" "$@"
