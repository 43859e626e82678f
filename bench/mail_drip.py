#!/usr/bin/env python3
"""What a mail server that drips costs the monitor, measured on the whole program.

    python3 bench/mail_drip.py PROGRAM [--window] [--seconds N]

Runs PROGRAM (the vardocam binary; --headless unless --window, which needs
DISPLAY) on a looping video camera: 6 s of a still scene, then a block the
size of a person walking across for 10 s, again and again. The SMTP server
answers one byte a second, so every alert mail is held for its whole
session time-out. While that goes on it watches:
  - result.bmp: how often it changes, and the longest time it stood still
    (every tick rewrites it; a tick held by a mail holds it too);
  - the journal (headless) or nothing (window): when each alarm began
    against when its walker came in;
then it sends SIGTERM while a mail is held and times the stop.
Everything it starts lives in a temporary folder and is stopped by its id.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

STILL_S = 6       # the still scene before each walker
WALK_S = 10       # the walker crossing
POLL_S = 0.002    # how often result.bmp is looked at
DRIP_S = 1.0      # the server's pace: one byte a second


def drip_server(stop):
    """Accepts SMTP connections and answers each one byte a second, forever."""
    connections = []

    def serve(conn):
        greeting = b"220 drip.test ESMTP " + b"x" * 4096
        for i in range(len(greeting)):
            if stop.is_set():
                break
            try:
                conn.send(greeting[i:i + 1])
            except OSError:
                break
            time.sleep(DRIP_S)
        conn.close()

    def keep(conn):
        connections.append(conn)
        serve(conn)

    return listen(stop, keep), connections


def listen(stop, serve):
    """A server on a free loopback port: each connection served on its own thread until stop. Its port."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    listener.settimeout(0.2)

    def accept():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            threading.Thread(target=serve, args=(conn,), daemon=True).start()
        listener.close()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def settings_text(values):
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]"]
    lines += ['"%s"=%s' % (k, v) for k, v in values]
    return "\r\n".join(lines) + "\r\n"


def motion_mail_settings(smtp_port, video):
    """Monitoring at start on the video, every change an alarm, its mail to smtp_port, no sound."""
    return [("START_MOVE_OBJECT", "dword:00000000"), ("USESOUND", "dword:00000000"),
            ("USEMAIL", "dword:00000001"), ("IS_CHECK", "dword:00000000"),
            ("USE_OOTSU", "dword:00000000"), ("BINBORDER", "dword:00000064"),
            ("MOVEBORDER", "dword:00000001"), ("MAIL_HOSTNAME", '"127.0.0.1"'),
            ("MAIL_PORTNUMBER", "dword:%08x" % smtp_port),
            ("MAIL_MAILADDRESS", '"camera@mail.test"'), ("MAIL_TOADDRESS", '"owner@mail.test"'),
            ("STARTUPMONITORING", "dword:00000001"), ("CAMERA_URL", '"%s"' % video)]


def write_settings(config_home, values):
    os.makedirs(os.path.join(config_home, "Korvane"))
    with open(os.path.join(config_home, "Korvane", "Vardocam.reg"), "w") as f:
        f.write(settings_text(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--window", action="store_true")
    parser.add_argument("--seconds", type=int, default=40)
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tmp = tempfile.mkdtemp(prefix="vardocam-drip.")
    folders = {k: os.path.join(tmp, k) for k in ("runtime", "config", "home", "work")}
    for path in folders.values():
        os.makedirs(path, mode=0o700)
    for name in ("start.jpg", "Alarm.wav"):
        shutil.copy(os.path.join(root, "assets", name), folders["work"])
    video = os.path.join(tmp, "walk.avi")
    walk = ("color=c=black:s=640x480:r=15:d=%d[bg];color=c=white:s=120x360:r=15[fg];"
            "[bg][fg]overlay=x='if(lt(t,%d),-200,(t-%d)*52)':y=60:shortest=1"
            % (STILL_S + WALK_S, STILL_S, STILL_S))
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", walk,
                    "-c:v", "mjpeg", "-q:v", "4", video], check=True)

    stop = threading.Event()
    port, _ = drip_server(stop)
    write_settings(folders["config"], motion_mail_settings(port, video))
    env = dict(os.environ, XDG_RUNTIME_DIR=folders["runtime"], XDG_CONFIG_HOME=folders["config"],
               HOME=folders["home"], XDG_DATA_HOME=folders["home"] + "/.local/share",
               XDG_CACHE_HOME=folders["home"] + "/.cache",
               PULSE_SERVER="unix:" + folders["runtime"] + "/none")
    command = [args.program] + ([] if args.window else ["--headless"])
    log_path = os.path.join(tmp, "run.log")
    log = open(log_path, "wb")
    started = time.monotonic()
    program = subprocess.Popen(command, cwd=folders["work"], env=env, stdout=log, stderr=log)

    changes = []   # times result.bmp was seen to change
    last = None
    frame_file = None
    lines_seen = 0
    alarms = []
    end = started + args.seconds
    while time.monotonic() < end and program.poll() is None:
        if frame_file is None:
            for top in (folders["work"], folders["runtime"]):
                for dirpath, _, files in os.walk(top):
                    if "result.bmp" in files:
                        frame_file = os.path.join(dirpath, "result.bmp")
        if frame_file:
            try:
                st = os.stat(frame_file)
                stamp = (st.st_mtime_ns, st.st_ino)
                if stamp != last:
                    last = stamp
                    changes.append(time.monotonic() - started)
            except FileNotFoundError:
                pass
        with open(log_path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
        for line in lines[lines_seen:]:
            if "警報を開始しました" in line:
                alarms.append(time.monotonic() - started)
        lines_seen = len(lines)
        time.sleep(POLL_S)

    signalled = time.monotonic()
    program.send_signal(signal.SIGTERM)
    try:
        code = program.wait(timeout=30)
    except subprocess.TimeoutExpired:
        program.kill()
        code = "killed"
    stop_ms = (time.monotonic() - signalled) * 1000
    stop.set()

    gaps = [b - a for a, b in zip(changes, changes[1:])]
    first = changes[0] if changes else float("nan")
    print("program: %s%s" % (args.program, " (window)" if args.window else " (headless)"))
    print("run: %d s; result.bmp changed %d times from %.1f s on" % (args.seconds, len(changes), first))
    if gaps:
        worst = max(gaps)
        at = changes[gaps.index(worst)]
        print("longest time result.bmp stood still: %.2f s (from %.1f s)" % (worst, at))
        print("changes per second after the first: %.1f" % ((len(changes) - 1) / (changes[-1] - first)))
    if not args.window:
        print("alarms began at (s): %s" % ", ".join("%.1f" % a for a in alarms))
        print("walkers come in every %d s and the clip's seam %d s after each: both are motion"
              % (STILL_S + WALK_S, WALK_S))
    print("stop: exit code %s after %.0f ms" % (code, stop_ms))
    if os.environ.get("KEEP"):
        print("kept: " + tmp)
    else:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
