#!/usr/bin/env bash
# Renders the icon's one drawing, assets/icon.svg, to the sizes the program
# and the desktop use: assets/icon.png (32 px, the window and tray icon) and
# assets/icon-N.png. Needs rsvg-convert (Debian: librsvg2-bin); the output
# is committed, and the install check compares it with a fresh render.
set -euo pipefail
assets=$(cd "$(dirname "${BASH_SOURCE[0]}")/../assets" && pwd)
for size in 32 48 64 128 256; do
  out="$assets/icon-$size.png"
  [[ $size -eq 32 ]] && out="$assets/icon.png"
  rsvg-convert -w "$size" -h "$size" -o "$out" "$assets/icon.svg"
done
