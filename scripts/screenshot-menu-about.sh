#!/usr/bin/env bash
# Takes docs/screenshots/menu-dark.png (the menu bar with the 設定 menu open)
# and docs/screenshots/about.png (the version dialog): the program on a
# virtual X display (Xvfb, no window manager, so no title bars).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program="$root/build/vardocam"
[[ -x "$program" ]] || { echo "build the program first: bash scripts/build.sh build" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Xvfb names a free display itself.
exec 3>"$tmp/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1400x900x24 >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 200); do [[ -s "$tmp/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$tmp/display")"

mkdir -p "$tmp/work" "$tmp/config" "$tmp/runtime"
chmod 700 "$tmp/runtime"
cp "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$tmp/work/"
(cd "$tmp/work" && XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
   QT_QPA_PLATFORM=xcb exec "$program") >/dev/null 2>&1 &
pids+=($!)

window() {  # the id of the mapped window with this exact name
  local id=
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1) && [[ -n "$id" ]] && break
    sleep 0.1
  done
  [[ -n "$id" ]] || { echo "no window $1" >&2; return 1; }
  echo "$id"
}
grab() {  # grab W H X Y FILE
  ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "$1x$2" -i "$DISPLAY+$3,$4" \
    -frames:v 1 "$5"
  echo "${5#"$root"/}: $1x$2 at $3,$4"
}
mkdir -p "$root/docs/screenshots"

main=$(window '防犯カメラ・ヴァルド')
eval "$(xdotool getwindowgeometry --shell "$main" | tail -n 5)"
# No window manager hands out the focus: take it.
xdotool mousemove $((X + 400)) $((Y + 300)) windowfocus --sync "$main"
sleep 1
xdotool key alt+s
sleep 1
grab "$WIDTH" 120 "$X" "$Y" "$root/docs/screenshots/menu-dark.png"
xdotool key Escape Escape
sleep 0.5

xdotool key alt+h
sleep 0.5
xdotool key v
about=$(window 'バージョン情報')
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$about" | tail -n 5)"
grab "$WIDTH" "$HEIGHT" "$X" "$Y" "$root/docs/screenshots/about.png"
xdotool key Escape
