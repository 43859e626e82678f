"""A network camera for the benchmarks: serves a folder of JPEG frames as an
MJPEG stream (multipart/x-mixed-replace, one part per frame with its
Content-Length, as cameras send it) on 127.0.0.1, to any number of clients,
looping the frames at a fixed rate. Stops on SIGTERM.

    python3 bench/mjpeg_server.py FOLDER PORT FPS
"""
import glob
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = "vardocamframe"


def main():
    folder, port, fps = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    frames = []
    for path in sorted(glob.glob(os.path.join(folder, "*.jpg"))):
        with open(path, "rb") as f:
            data = f.read()
        head = ("--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n"
                % (BOUNDARY, len(data))).encode()
        frames.append(head + data + b"\r\n")
    if not frames:
        sys.exit("no frames in " + folder)
    interval = 1.0 / fps

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):
            pass

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type",
                             "multipart/x-mixed-replace; boundary=" + BOUNDARY)
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            due = time.monotonic()
            i = 0
            try:
                while True:
                    self.wfile.write(frames[i % len(frames)])
                    self.wfile.flush()
                    i += 1
                    due += interval
                    delay = due - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    else:
                        due = time.monotonic()
            except (BrokenPipeError, ConnectionResetError):
                pass

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", port), Handler)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    server.serve_forever()


if __name__ == "__main__":
    main()
