#!/usr/bin/env bash
# Takes docs/screenshots/main-window.png: the program on a virtual X display
# (Xvfb, no window manager, so no title bar), with monitoring off.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/screenshot-session.sh"
sleep 3

# The window sits at its designed position; the grab is its client area.
geometry=$(xdotool search --name '^防犯カメラ・ヴァルド$' getwindowgeometry --shell | tail -n 5)
eval "$geometry"
ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${WIDTH}x${HEIGHT}" -i "$DISPLAY+$X,$Y" \
  -frames:v 1 "$root/docs/screenshots/main-window.png"
echo "docs/screenshots/main-window.png: ${WIDTH}x${HEIGHT} at $X,$Y"
