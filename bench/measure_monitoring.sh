#!/usr/bin/env bash
# Whole-process figures of monitoring a 30 fps video file:
#   bash bench/measure_monitoring.sh BUILD_DIR [SECONDS]
# For 640x480 and 1920x1080 it runs, one after the other, the real program
# monitoring the file (under its own Xvfb), the capture's reader alone on
# the same file (bench/reader_only), and once the program idle with
# monitoring off. Each process is measured over SECONDS (default 60) after a
# warm-up: CPU time (utime+stime of all threads, /proc/PID/stat) per second
# of wall time, and VmHWM/VmRSS (/proc/PID/status) at both ends.
# Everything it starts is stopped by its own id; its folder on tmpfs goes.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
warmup=${WARMUP:-10}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d /dev/shm/vardocam-measure.XXXXXX)
xvfb_pid=""
run_pid=""
cleanup() {
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ticks=$(getconf CLK_TCK)

# Test sources: 20 s of ffmpeg's moving test pattern, H.264 at 30 fps;
# VIDEO_DIR may hold them already (src_640x480.mp4, src_1920x1080.mp4).
for size in 640x480 1920x1080; do
  if [ -n "${VIDEO_DIR:-}" ] && [ -f "$VIDEO_DIR/src_$size.mp4" ]; then
    cp "$VIDEO_DIR/src_$size.mp4" "$work/"
    continue
  fi
  nice ffmpeg -hide_banner -loglevel error -y -f lavfi \
    -i "testsrc2=size=$size:rate=30:duration=20" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 30 "$work/src_$size.mp4"
done

# Its own display; -displayfd picks a free number.
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# measure NAME PID: prints one result line.
measure() {
  local name=$1 pid=$2
  sleep "$warmup"
  local c0 t0 h0 c1 t1 h1 r1 load
  c0=$(cpu_ticks "$pid"); t0=$(date +%s.%N); h0=$(status_kb "$pid" VmHWM)
  sleep "$seconds"
  c1=$(cpu_ticks "$pid"); t1=$(date +%s.%N); h1=$(status_kb "$pid" VmHWM)
  r1=$(status_kb "$pid" VmRSS)
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  awk -v n="$name" -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$ticks" \
      -v h0="$h0" -v h1="$h1" -v r1="$r1" -v load="$load" 'BEGIN {
    printf "%-28s cpu %6.2f %% of one core  VmHWM %7.1f -> %7.1f MB  VmRSS %7.1f MB  load %s\n",
      n, (c1 - c0) / hz / (t1 - t0) * 100, h0 / 1024, h1 / 1024, r1 / 1024, load }'
}

stop_run() {
  kill "$run_pid" 2>/dev/null || true
  wait "$run_pid" 2>/dev/null || true
  run_pid=""
}

# run_program NAME SIZE MONITOR(0/1)
run_program() {
  local name=$1 size=$2 monitor=$3
  local home="$work/home-$name"
  mkdir -p "$home/config/Korvane" "$home/run" "$home/cwd"
  chmod 700 "$home/run"
  cp "$root/assets/start.jpg" "$root/assets/Alarm.wav" "$home/cwd/"
  cat >"$home/config/Korvane/Vardocam.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam]

[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]
"STARTUPMONITORING"="$monitor"
"START_MOVE_OBJECT"=dword:00000000
"USEMAIL"="0"
"USESOUND"="0"
"IS_CHECK"="0"
"CAMERA_URL"="$work/src_$size.mp4"
REG
  (cd "$home/cwd" && XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
     exec "$build/vardocam" >"$home/log" 2>&1) &
  run_pid=$!
  measure "$name" "$run_pid"
  stop_run
}

run_reader() {
  local name=$1 size=$2
  "$build/bench/reader_only" "$work/src_$size.mp4" $((seconds + warmup + 30)) >/dev/null &
  run_pid=$!
  measure "$name" "$run_pid"
  stop_run
}

echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); ${seconds} s each after ${warmup} s warm-up"
for size in 640x480 1920x1080; do
  run_program "monitoring $size" "$size" 1
  run_reader "reader only $size" "$size"
done
run_program "idle, monitoring off" 640x480 0
