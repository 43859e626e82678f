#!/usr/bin/python3
"""A network camera for the tests: GStreamer's RTSP server on 127.0.0.1
playing an MPEG-TS file of H.264 or H.265 at its own pace, as /cam.

rtsp_server.py PORT FILE CODEC [USER PASSWORD]
CODEC is h264 or h265. With USER and PASSWORD the stream asks for them
(basic authentication). Prints "ready" once it listens; SIGTERM ends it.
The media is shared, so every client sees the same live picture."""
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

PAYLOADERS = {"h264": "h264parse ! rtph264pay", "h265": "h265parse ! rtph265pay"}


def main():
    port, path, codec = sys.argv[1], sys.argv[2], sys.argv[3]
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    # config-interval -1: parameter sets before every key frame, so a
    # client that joins late (or a size change) decodes at once.
    factory.set_launch(f"( filesrc location={path} ! tsdemux ! {PAYLOADERS[codec]} "
                       f"config-interval=-1 name=pay0 pt=96 )")
    factory.set_shared(True)
    if len(sys.argv) > 5:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(sys.argv[4], sys.argv[5]), token)
        server.set_auth(auth)
        factory.add_role_from_structure(Gst.Structure.new_from_string(
            "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"))
    server.get_mount_points().add_factory("/cam", factory)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    if server.attach(None) == 0:
        sys.exit("cannot listen on port " + port)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
