#!/usr/bin/python3
"""Makes the program's own idle picture and alarm sound.

assets/start.jpg  640 x 480, shown while monitoring is off
assets/Alarm.wav  a two-tone alarm of whole periods, so that it loops without a click
Run with Debian's /usr/bin/python3 (python3-opencv); the output is committed.
The icons come from assets/icon.svg (scripts/make_icons.sh).
"""
import math
import os
import struct
import wave

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ASSETS = os.path.join(HERE, "..", "assets")
GOTHIC = "/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf"


def draw_camera(img, cx, cy, scale, colour, thickness):
    """A simple camera outline: body, lens, and a mount."""
    w, h = int(120 * scale), int(70 * scale)
    cv2.rectangle(img, (cx - w // 2, cy - h // 2), (cx + w // 2, cy + h // 2), colour, thickness, cv2.LINE_AA)
    cv2.circle(img, (cx, cy), int(26 * scale), colour, thickness, cv2.LINE_AA)
    cv2.circle(img, (cx, cy), int(12 * scale), colour, thickness, cv2.LINE_AA)
    cv2.rectangle(img, (cx - w // 2 + int(8 * scale), cy - h // 2 - int(12 * scale)),
                  (cx - w // 2 + int(34 * scale), cy - h // 2), colour, thickness, cv2.LINE_AA)


def make_start():
    h, w = 480, 640
    y = np.linspace(0.0, 1.0, h, dtype=np.float32)[:, None]
    img = np.zeros((h, w, 3), np.float32)
    img[:, :, 0] = 40 + 30 * y  # B
    img[:, :, 1] = 24 + 14 * y  # G
    img[:, :, 2] = 22 + 8 * y   # R
    img = img.astype(np.uint8)
    img = np.ascontiguousarray(np.broadcast_to(img, (h, w, 3)))
    for x in range(0, w, 32):
        cv2.line(img, (x, 0), (x, h), (52, 36, 34), 1)
    for yy in range(0, h, 32):
        cv2.line(img, (0, yy), (w, yy), (52, 36, 34), 1)
    draw_camera(img, w // 2, 170, 1.3, (200, 200, 205), 3)
    ft = cv2.freetype.createFreeType2()
    ft.loadFontData(GOTHIC, 0)
    for text, size, top, colour in (("防犯カメラ・ヴァルド", 40, 270, (230, 230, 235)),
                                    ("監視停止中", 24, 330, (120, 200, 120)),
                                    ("「監視開始」で監視を始めます", 18, 372, (180, 180, 190))):
        (tw, th), _ = ft.getTextSize(text, size, -1)
        ft.putText(img, text, ((w - tw) // 2, top), size, colour, -1, cv2.LINE_AA, False)
    cv2.imwrite(os.path.join(ASSETS, "start.jpg"), img, [cv2.IMWRITE_JPEG_QUALITY, 92])


def make_alarm():
    rate = 22050
    # Two tones of 0.25 s each, repeated; each tone holds a whole number of
    # periods and every tone starts and ends at phase zero, so the file
    # loops seamlessly. Total 3 s.
    tones = (880.0, 660.0)
    part = rate // 4
    samples = []
    for repeat in range(6):
        for f in tones:
            periods = round(f * part / rate)
            freq = periods * rate / part
            for n in range(part):
                samples.append(0.5 * math.sin(2 * math.pi * freq * n / rate))
    frames = b"".join(struct.pack("<h", int(s * 32767)) for s in samples)
    with wave.open(os.path.join(ASSETS, "Alarm.wav"), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(frames)


if __name__ == "__main__":
    os.makedirs(ASSETS, exist_ok=True)
    make_start()
    make_alarm()
