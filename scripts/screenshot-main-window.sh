#!/usr/bin/env bash
# Takes docs/screenshots/main-window.png: the program on a virtual X display
# (Xvfb, no window manager, so no title bar), with monitoring off.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program="$root/build/vardocam"
[[ -x "$program" ]] || { echo "build the program first: bash scripts/build.sh build" >&2; exit 1; }

display=
for n in $(seq 90 189); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=$n; break; fi
done
[[ -n "$display" ]] || { echo "no free X display" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

Xvfb ":$display" -noreset -nolisten tcp -screen 0 1400x900x24 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.05; done

mkdir -p "$tmp/work" "$tmp/config" "$tmp/runtime"
chmod 700 "$tmp/runtime"
cp "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$tmp/work/"
(cd "$tmp/work" && DISPLAY=":$display" XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
   QT_QPA_PLATFORM=xcb exec "$program") >/dev/null 2>&1 &
pids+=($!)
sleep 3

# The window sits at its designed position; the grab is its client area.
geometry=$(DISPLAY=":$display" xdotool search --name '^防犯カメラ・ヴァルド$' getwindowgeometry --shell | tail -n 5)
eval "$geometry"
mkdir -p "$root/docs/screenshots"
ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${WIDTH}x${HEIGHT}" -i ":$display+$X,$Y" \
  -frames:v 1 "$root/docs/screenshots/main-window.png"
echo "docs/screenshots/main-window.png: ${WIDTH}x${HEIGHT} at $X,$Y"
