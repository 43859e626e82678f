#!/usr/bin/python3
"""Real camera footage through the real program: serves Debian's sample
videos (opencv-doc) as a live MJPEG camera at their own rate, runs
`vardocam --headless` on it with the settings of each row, and prints per
video and row: alarms, seconds in alarm, the first alarm's time, person
checks run and their processor time, and the whole program's CPU.

    python3 bench/footage.py BUILD_DIR [SECONDS_VTEST] [SECONDS_TREE] [CLIP:FPS ...]

(CLIP:FPS ...: these clips instead, e.g. bench/footage/make_footage.py's,
each run for SECONDS_VTEST.)

Skips with a message when opencv-doc's videos are not installed."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

DATA = "/usr/share/doc/opencv-doc/examples/data"
VIDEOS = [("vtest.avi", 10), ("tree.avi", 15)]
# Each row: a name and the settings it writes beside the common ones.
ROWS = [
    ("既定 (MOVEBORDER 4)", {}),
    ("PERSON_CHECK 1", {"PERSON_CHECK": '"1"'}),
]
COMMON = {
    "START_MOVE_OBJECT": "dword:00000000",
    "USESOUND": "dword:00000000",
    "USEMAIL": "dword:00000000",
    "IS_CHECK": "dword:00000000",
    "USE_OOTSU": "dword:00000001",
    "MOVEBORDER": "dword:00000004",
    "BINBORDER": "dword:00000064",
}


def settings_text(url, extra):
    values = dict(COMMON)
    values["CAMERA_URL"] = '"%s"' % url
    values.update(extra)
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam]", "",
             "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]"]
    lines += ['"%s"=%s' % (k, v) for k, v in values.items()]
    return "\r\n".join(lines) + "\r\n"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(program, frames_dir, fps, seconds, extra, bench_dir):
    port = 18000 + os.getpid() % 1000
    server = subprocess.Popen([sys.executable, os.path.join(bench_dir, "mjpeg_server.py"),
                               frames_dir, str(port), str(fps)])
    time.sleep(0.5)
    home = tempfile.mkdtemp(prefix="footage-")
    for d in ("config/Korvane", "runtime", "work"):
        os.makedirs(os.path.join(home, d), exist_ok=True)
    os.chmod(os.path.join(home, "runtime"), 0o700)
    with open(os.path.join(home, "config/Korvane/Vardocam.reg"), "w", encoding="utf-8") as f:
        f.write(settings_text("http://127.0.0.1:%d/" % port, extra))
    env = dict(os.environ, XDG_CONFIG_HOME=home + "/config", XDG_RUNTIME_DIR=home + "/runtime",
               HOME=home, DISPLAY="", WAYLAND_DISPLAY="", QT_QPA_PLATFORM="")
    lines = []
    try:
        program_run = subprocess.Popen([program, "--headless"], cwd=home + "/work", env=env,
                                       stderr=subprocess.PIPE, text=True)
        start = time.monotonic()

        def read():
            for line in program_run.stderr:
                lines.append((time.monotonic() - start, line.rstrip("\n")))
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        time.sleep(seconds)
        cpu = cpu_seconds(program_run.pid)
        program_run.send_signal(signal.SIGTERM)
        program_run.wait(timeout=10)
        reader.join(timeout=5)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=5)
        shutil.rmtree(home, ignore_errors=True)

    alarms, in_alarm, first, on = 0, 0.0, None, None
    checks, check_ms = 0, 0
    for at, line in lines:
        if "警報を開始しました" in line:
            alarms += 1
            on = at
            first = at if first is None else first
        elif "警報を終了しました" in line and on is not None:
            in_alarm += at - on
            on = None
        m = re.search(r"人物の確認 (\d+) 回 \(処理時間 (\d+) ms\)", line)
        if m:
            checks, check_ms = int(m.group(1)), int(m.group(2))
    if on is not None:
        in_alarm += seconds - on
    return alarms, in_alarm, first, checks, check_ms, 100.0 * cpu / seconds


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    lengths = {"vtest.avi": float(sys.argv[2]) if len(sys.argv) > 2 else 80.0,
               "tree.avi": float(sys.argv[3]) if len(sys.argv) > 3 else 300.0}
    videos = VIDEOS
    if len(sys.argv) > 4:
        videos = [(clip.rsplit(":", 1)[0], int(clip.rsplit(":", 1)[1])) for clip in sys.argv[4:]]
        lengths = {clip: lengths["vtest.avi"] for clip, _ in videos}
    if not all(os.path.exists(os.path.join(DATA, v)) for v, _ in videos):
        print("footage: Debian's opencv-doc videos are not installed (%s); skipped" % DATA)
        return
    program = os.path.abspath(os.path.join(build, "vardocam"))
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    print("| 設定 | 映像 | 秒 | 警報 | 警報中の秒 | 最初の警報 | 人物の確認 | 確認の処理時間 | CPU (%) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for video, fps in videos:
        frames = tempfile.mkdtemp(prefix="frames-")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(DATA, video), "-q:v", "3",
                        os.path.join(frames, "%05d.jpg")], check=True)
        for name, extra in ROWS:
            seconds = lengths[video]
            alarms, in_alarm, first, checks, ms, cpu = run(program, frames, fps, seconds, extra, bench_dir)
            print("| %s | %s | %.0f | %d | %.0f | %s | %d | %d ms | %.1f |" % (
                name, video, seconds, alarms, in_alarm, "-" if first is None else "%.1f s" % first,
                checks, ms, cpu), flush=True)
        shutil.rmtree(frames, ignore_errors=True)


if __name__ == "__main__":
    main()
