#!/usr/bin/env bash
# Takes docs/screenshots/menu-dark.png (the menu bar with the 設定 menu open)
# and docs/screenshots/about.png (the version dialog): the program on a
# virtual X display (Xvfb, no window manager, so no title bars).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/screenshot-session.sh"

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
