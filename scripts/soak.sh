#!/usr/bin/env bash
# Soak run of the headless service: one profile on a looping 640x480 video
# with motion every 30 s, a real SMTP server (aiosmtpd) and a real POP3
# server (dovecot) that gets a status request every few minutes. Every
# minute it records the process's resident memory, open descriptors and
# threads; at the end it checks that every alarm was mailed and every
# request answered, and prints a summary.
#
#   scripts/soak.sh MINUTES [OUTPUT_FOLDER]
#
# Needs root (the maildir belongs to nobody, as dovecot wants) and a built
# program in build/vardocam (or VARDOCAM=path). Runs the program niced.
set -euo pipefail
minutes=${1:?usage: soak.sh MINUTES [OUTPUT_FOLDER]}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${VARDOCAM:-$root/build/vardocam}
out=${2:-$(mktemp -d /tmp/vardocam-soak.XXXXXX)}
mkdir -p "$out"
work=$(mktemp -d /tmp/vardocam-soak-work.XXXXXX)
chmod 755 "$work"

readonly kSampleSeconds=60
readonly kRequestEveryMinutes=3
readonly kMotionPeriodSeconds=30
readonly kAnswerWaitSeconds=90
readonly kProfile=soak

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A copy of the program, so that a rebuild meanwhile changes nothing here.
cp "$program" "$work/vardocam"

# 30 s of a still scene, the last 3 s of them with a white block crossing it.
ffmpeg -loglevel error -f lavfi -i \
  "color=c=0x203040:s=640x480:r=25:d=$kMotionPeriodSeconds[bg];color=c=white:s=160x360:r=25[fg];[bg][fg]overlay=x='mod(t*900,640)':y=60:enable='between(t,26,29)':shortest=1" \
  -c:v mjpeg -q:v 4 "$work/soak.avi"

# SMTP: every message lands in $work/mail.
mkdir -p "$work/mail"
exec {smtp_in}> >(exec /usr/bin/python3 "$root/tests/peers/smtp_server.py" --mode plain \
  --outdir "$work/mail" > "$work/smtp.port" 2> "$work/smtp.log")
pids+=($!)
for _ in $(seq 100); do grep -q PORT "$work/smtp.port" 2>/dev/null && break; sleep 0.1; done
smtp_port=$(awk '/PORT/ {print $2}' "$work/smtp.port")

# POP3: dovecot in the foreground with its own config and a nobody-owned maildir.
pop_port=$(free_port)
mkdir -p "$work/pop/run" "$work/pop/state" "$work/pop/Maildir"/{new,cur,tmp}
chown -R nobody:nogroup "$work/pop/Maildir"
echo 'user:{PLAIN}secret::::::' > "$work/pop/passwd"
cat > "$work/pop/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
base_dir = $work/pop/run
state_dir = $work/pop/state
log_path = $work/pop/dovecot.log
ssl = no
disable_plaintext_auth = no
mail_location = maildir:$work/pop/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN $work/pop/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$work/pop/Maildir
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $pop_port
  }
}
CONF
/usr/sbin/dovecot -F -c "$work/pop/dovecot.conf" > "$work/pop/dovecot.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$pop_port) 2>/dev/null && break; sleep 0.1; done

hex() { printf 'dword:%08x' "$1"; }
mkdir -p "$work/config/Korvane" "$work/runtime" "$work/home" "$work/run"
chmod 700 "$work/runtime"
cat > "$work/config/Korvane/Vardocam-$kProfile.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]
"START_MOVE_OBJECT"=$(hex 5)
"USESOUND"="0"
"USEMAIL"="1"
"USE_OOTSU"="0"
"BINBORDER"=$(hex 100)
"MOVEBORDER"=$(hex 2)
"MAIL_HOSTNAME"="127.0.0.1"
"MAIL_PORTNUMBER"=$(hex "$smtp_port")
"MAIL_MAILADDRESS"="camera@mail.test"
"MAIL_TOADDRESS"="owner@mail.test"
"MAIL_R_HOSTNAME"="127.0.0.1"
"MAIL_R_PORTNUMBER"=$(hex "$pop_port")
"MAIL_R_USERNAME"="user"
"MAIL_R_PASSWORD"="secret"
"IS_CHECK"="1"
"CHECK_INTERVAL"=$(hex 1)
"CAMERA_URL"="$work/soak.avi"
REG

(cd "$work/run" && exec env -u DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/runtime" \
   XDG_CONFIG_HOME="$work/config" HOME="$work/home" PULSE_SERVER="unix:$work/none" \
   nice "$work/vardocam" --headless --profile "$kProfile" > "$out/service.log" 2>&1) &
service=$!
pids+=($service)

requests=0
deliver_request() {
  requests=$((requests + 1))
  local file="$work/pop/Maildir/new/$(date +%s).$requests.soak"
  printf 'From: owner@mail.test\r\nTo: camera@mail.test\r\nSubject: status\r\n\r\nplease\r\n' > "$file"
  chown nobody:nogroup "$file"
}
waiting_requests() { find "$work/pop/Maildir/new" "$work/pop/Maildir/cur" -type f | wc -l; }

samples="$out/samples.csv"
echo "minute,rss_kb,fds,threads,alarms,alert_mails,mails_received,requests_sent,requests_answered" > "$samples"
sample() {
  local status rss threads fds log
  status=$(cat "/proc/$service/status" 2>/dev/null) || { echo "service ended early" >&2; exit 1; }
  rss=$(awk '/^VmRSS/ {print $2}' <<<"$status")
  threads=$(awk '/^Threads/ {print $2}' <<<"$status")
  fds=$(ls "/proc/$service/fd" | wc -l)
  log=$(cat "$out/service.log")
  echo "$1,$rss,$fds,$threads,$(grep -c '警報を開始しました' <<<"$log"),$(grep -c '警報メールを送信しました' <<<"$log"),$(ls "$work/mail" | grep -c '\.eml$'),$requests,$(grep -o '要求メール [0-9]* 通' <<<"$log" | awk '{n += $2} END {print n + 0}')" >> "$samples"
}

for minute in $(seq 1 "$minutes"); do
  sleep "$kSampleSeconds"
  sample "$minute"
  if (( minute < minutes && minute % kRequestEveryMinutes == 1 )); then deliver_request; fi
done
# The last request is answered at the next check.
for _ in $(seq "$kAnswerWaitSeconds"); do [[ $(waiting_requests) -eq 0 ]] && break; sleep 1; done
sample end

kill -TERM "$service"
status=0
wait "$service" || status=$?
cp "$samples" "$out/" 2>/dev/null || true

python3 - "$samples" "$out/service.log" "$status" "$(ls "$work/mail" | grep -c '\.eml$')" "$requests" <<'PY' | tee "$out/summary.txt"
import csv, re, sys
rows = list(csv.DictReader(open(sys.argv[1])))
log = open(sys.argv[2], encoding="utf-8").read()
status, mails, requests = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
base = int(rows[0]["rss_kb"])
rss = [int(r["rss_kb"]) for r in rows]
drift = (max(rss[1:] or rss) - base) * 100.0 / base
fd_counts = [int(r["fds"]) for r in rows]
fds = sorted(set(fd_counts))
# Flat: back to the first minute's count at the end; a sample taken during a
# mail or mailbox exchange sees that one socket more.
fds_flat = fd_counts[-1] == fd_counts[0] and fds[-1] - fds[0] <= 1
threads = sorted({int(r["threads"]) for r in rows})
alarms = log.count("警報を開始しました")
# Every alarm mailed: the mail outcome after each alarm start is a sent one.
# (Motion that lasts past the 5 s spacing mails again on each tick that
# still sees it, so there may be more mails than alarms.)
unmailed, waiting = 0, False
for line in log.splitlines():
    if "警報を開始しました" in line:
        unmailed += waiting
        waiting = True
    elif "警報メール" in line and waiting:
        unmailed += "送信しました" not in line
        waiting = False
unmailed += waiting
alert_sent = log.count("警報メールを送信しました")
alert_failed = log.count("警報メールを送信できませんでした")
answered = sum(int(n) for n in re.findall(r"要求メール (\d+) 通", log))
reports = mails - alert_sent
report_lines = log.count("状況報告メールで応えました")
print(f"minutes={len(rows) - 1} rss_first_minute_kb={base} rss_max_after_kb={max(rss[1:] or rss)} drift_percent={drift:.2f}")
print(f"fds={fds} threads={threads}")
print(f"alarms={alarms} alarms_without_mail={unmailed} alert_mails_sent={alert_sent} alert_mails_failed={alert_failed} mails_received={mails}")
print(f"requests_sent={requests} requests_answered={answered} report_mails={reports} reports_logged={report_lines}")
print(f"exit_status={status}")
ok = (drift < 5 and fds_flat and len(threads) == 1 and unmailed == 0 and alert_failed == 0
      and mails == alert_sent + report_lines and answered == requests
      and status == 0)
print("RESULT=" + ("PASS" if ok else "FAIL"))
PY
echo "output in $out"
