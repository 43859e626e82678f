# Sourced by the screenshot scripts: starts Xvfb (it names a free display
# itself, so two runs cannot take the same one) and the program on it in a
# fresh working folder, settings folder and runtime folder. Exports DISPLAY
# and sets $root, $tmp and $pids; everything started stops when the
# sourcing script ends.
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

exec 3>"$tmp/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1400x900x24 >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 200); do [[ -s "$tmp/display" ]] && break; sleep 0.05; done
[[ -s "$tmp/display" ]] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"

mkdir -p "$tmp/work" "$tmp/config" "$tmp/runtime"
chmod 700 "$tmp/runtime"
cp "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$tmp/work/"
(cd "$tmp/work" && XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
   QT_QPA_PLATFORM=xcb exec "$program") >/dev/null 2>&1 &
pids+=($!)
mkdir -p "$root/docs/screenshots"
