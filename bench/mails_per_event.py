#!/usr/bin/env python3
"""How many mails one long event sends, with and without one alert mail an event.

    python3 bench/mails_per_event.py PROGRAM [--seconds N]

Runs PROGRAM --headless twice on a camera where a person-sized block keeps
walking to and fro for 44 s, then the scene is still (one event, as people
who keep moving in front of a door), with the event archive and its summary
mail on, against
an SMTP server of its own that takes every mail. The first run has the
classic behaviour (a mail per alarm), the second ALERT_MAIL_FIRST_ONLY.
Prints each run's mails by subject.
"""
import argparse
import collections
import email
import email.header
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mail_drip import listen, motion_mail_settings, write_settings  # noqa: E402

WALK_S = 44  # people walking, as in the week that found it: one event
POST_S = 3   # the event's post-seconds


def smtp_sink(stop, mails):
    """Takes every mail it is given and keeps its Subject."""

    def serve(conn):
        reader = conn.makefile("rb")
        conn.sendall(b"220 sink.test ESMTP\r\n")
        data = None
        for line in reader:
            if data is not None:
                if line in (b".\r\n", b".\n"):
                    message = email.message_from_bytes(b"".join(data))
                    parts = email.header.decode_header(message.get("Subject", ""))
                    mails.append("".join(p.decode(c or "ascii", "replace") if isinstance(p, bytes) else p
                                         for p, c in parts))
                    data = None
                    conn.sendall(b"250 kept\r\n")
                else:
                    data.append(line)
                continue
            verb = line[:4].upper()
            if verb == b"DATA":
                data = []
                conn.sendall(b"354 go on\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                break
            elif verb == b"EHLO":
                conn.sendall(b"250 sink.test\r\n")
            else:
                conn.sendall(b"250 ok\r\n")
        conn.close()

    return listen(stop, serve)


def run(program, seconds, first_only, video, root):
    tmp = tempfile.mkdtemp(prefix="vardocam-mails.")
    folders = {k: os.path.join(tmp, k) for k in ("runtime", "config", "home", "work", "events")}
    for path in folders.values():
        os.makedirs(path, mode=0o700)
    shutil.copy(os.path.join(root, "assets", "start.jpg"), folders["work"])
    stop = threading.Event()
    mails = []
    port = smtp_sink(stop, mails)
    write_settings(folders["config"], motion_mail_settings(port, video) + [
        ("EVENT_ARCHIVE", "dword:00000001"), ("EVENT_DIR", '"%s"' % folders["events"]),
        ("EVENT_POST_SECONDS", "dword:%08x" % POST_S), ("EVENT_SUMMARY_MAIL", "dword:00000001"),
        ("ALERT_MAIL_FIRST_ONLY", "dword:%08x" % int(first_only))])
    env = dict(os.environ, XDG_RUNTIME_DIR=folders["runtime"], XDG_CONFIG_HOME=folders["config"],
               HOME=folders["home"], PULSE_SERVER="unix:" + folders["runtime"] + "/none")
    log_path = os.path.join(tmp, "run.log")
    with open(log_path, "wb") as log:
        program_run = subprocess.Popen([program, "--headless"], cwd=folders["work"], env=env,
                                       stdout=log, stderr=log)
        time.sleep(seconds)
        program_run.send_signal(signal.SIGTERM)
        program_run.wait(timeout=30)
    stop.set()
    alarms = open(log_path, encoding="utf-8", errors="replace").read().count("警報を開始しました")
    shutil.rmtree(tmp, ignore_errors=True)
    return alarms, mails


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--seconds", type=int, default=WALK_S + POST_S + 8)
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tmp = tempfile.mkdtemp(prefix="vardocam-walk.")
    video = os.path.join(tmp, "walk.avi")
    # A block the size of a person crossing and coming back every 16 s for
    # WALK_S, then a still scene, so the event ends and its summary goes.
    walk = ("color=c=black:s=640x480:r=15:d=%d[bg];color=c=white:s=120x360:r=15[fg];"
            "[bg][fg]overlay=x='if(lt(t,%d),65*(8-abs(mod(t,16)-8)),-200)':y=60:shortest=1"
            % (args.seconds + 10, WALK_S))
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", walk,
                    "-c:v", "mjpeg", "-q:v", "4", video], check=True)
    print("program: %s, %d s of people walking in a %d s run, archive and summary mail on"
          % (args.program, WALK_S, args.seconds))
    for first_only in (False, True):
        alarms, mails = run(args.program, args.seconds, first_only, video, root)
        kinds = collections.Counter(m.split("(")[0] for m in mails)
        print("%-26s alarms %2d, mails %2d: %s" % (
            "one alert mail an event:" if first_only else "a mail per alarm:", alarms, len(mails),
            ", ".join("%d × %s" % (n, k) for k, n in kinds.items())))
    shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
