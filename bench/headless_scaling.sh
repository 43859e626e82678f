#!/usr/bin/env bash
# How many headless profiles one machine runs side by side: N processes,
# each its own profile on a looping video of the given size at 25 frames a
# second with a moving block, for SECONDS. Prints, per process, the frames
# its cycle took per second (from its closing log line) and its processor
# time; a process below the source's 25 per second dropped frames.
#
#   bench/headless_scaling.sh WIDTHxHEIGHT N [SECONDS]
set -euo pipefail
size=${1:?usage: headless_scaling.sh WIDTHxHEIGHT N [SECONDS]}
count=${2:?usage: headless_scaling.sh WIDTHxHEIGHT N [SECONDS]}
seconds=${3:-40}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${VARDOCAM:-$root/build/vardocam}
work=$(mktemp -d /tmp/vardocam-scale.XXXXXX)
trap 'rm -rf "$work"' EXIT
width=${size%x*}
height=${size#*x}

ffmpeg -loglevel error -f lavfi -i \
  "color=c=0x304050:s=$size:r=25:d=20[bg];color=c=white:s=$((width / 4))x$((height / 2)):r=25[fg];[bg][fg]overlay=x='mod(t*$width/4,$width)':y=$((height / 4)):shortest=1" \
  -c:v mjpeg -q:v 4 "$work/scene.avi"

mkdir -p "$work/config/Korvane" "$work/runtime" "$work/home"
chmod 700 "$work/runtime"
pids=()
for i in $(seq "$count"); do
  cat > "$work/config/Korvane/Vardocam-cam$i.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]
"START_MOVE_OBJECT"=dword:00000000
"USESOUND"="0"
"USEMAIL"="0"
"IS_CHECK"="0"
"CAMERA_URL"="$work/scene.avi"
REG
  mkdir -p "$work/cam$i"
  (cd "$work/cam$i" && exec env -u DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/runtime" \
     XDG_CONFIG_HOME="$work/config" HOME="$work/home" "$program" --headless --profile "cam$i" \
     > "$work/cam$i.log" 2>&1) &
  pids+=($!)
done
sleep "$seconds"
ticks=$(getconf CLK_TCK)
for i in $(seq "$count"); do
  pid=${pids[$((i - 1))]}
  cpu=$(awk -v t="$ticks" '{printf "%.1f", ($14 + $15) / t}' "/proc/$pid/stat")
  kill -TERM "$pid"
  wait "$pid" || true
  rate=$(grep -o '毎秒 [0-9.]* 枚' "$work/cam$i.log" | awk '{print $2}')
  echo "size=$size processes=$count cam$i frames_per_second=$rate cpu_seconds=$cpu of ${seconds}s"
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
