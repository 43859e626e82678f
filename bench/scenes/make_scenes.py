#!/usr/bin/python3
"""Writes short camera videos with known content for the detection benchmark,
and a list of them with their ground truth (scenes.txt).

  /usr/bin/python3 bench/scenes/make_scenes.py OUTPUT_FOLDER [KIND...]

With kinds (walk, still, flicker, ramp, lamp, cloud, leaves) only those are
written again; the other lines of scenes.txt stay.

Each video is Motion-JPEG in AVI, as many cameras send. Every scene has a
textured yard with light sensor noise. Scenes:
  walk_*     a person near the camera (a quarter of the height wide, 0.75 of
             it tall) in striped clothes and dark trousers crossing the picture
             once in 2, 4 or 8 s, at 10, 15, 30 and 60 fps, 640x480 and
             1280x720, with a still second before and after;
  still_*    nothing happens; flicker_* the camera's auto-exposure jumps;
  ramp_*     the light grows slowly over the whole scene; lamp_* a lamp
             lights the left side on and off; cloud_* a soft shadow drifts
             across; leaves_* branches wave inside an area that the mask
             (leaves_mask.png) excludes, and a figure crosses once.
scenes.txt, one scene a line:
  name file width height fps frames crossings mask
where crossings is "-" or comma-separated start-end pairs in milliseconds
(first to last frame with the figure in view) and mask is "-" or a file.
"""
import math
import os
import sys

import cv2
import numpy as np

STILL_SECONDS = 25
LEAD_IN_S = 1.0
LEAD_OUT_S = 1.5
NOISE_SIGMA = 2.5
STRIPES = [1 / 30, 1 / 14, 1 / 40, 1 / 20, 1 / 12, 1 / 34, 1 / 17, 1 / 26, 1 / 13, 1 / 22]


def yard(width, height, seed):
    """A scene with large light and dark areas, fine texture and a few
    straight edges (a wall, a door, a fence)."""
    rng = np.random.default_rng(seed)
    # Mostly grey areas with a little colour, as walls, paving and grass.
    coarse = rng.uniform(50, 190, (9, 12, 1)) + rng.uniform(-15, 15, (9, 12, 3))
    image = cv2.resize(coarse.astype(np.float32), (width, height), interpolation=cv2.INTER_CUBIC)
    fine = rng.normal(0, 10, (height, width, 1)).astype(np.float32)
    image += cv2.GaussianBlur(fine, (0, 0), 1.5)[..., None]
    s = height / 480.0
    cv2.rectangle(image, (int(40 * s), int(60 * s)), (int(250 * s), int(300 * s)), (150, 160, 170), -1)
    cv2.rectangle(image, (int(120 * s), int(150 * s)), (int(190 * s), int(300 * s)), (60, 70, 90), -1)
    for x in range(int(300 * s), width, int(26 * s)):
        cv2.rectangle(image, (x, int(330 * s)), (x + int(8 * s), int(420 * s)), (200, 200, 190), -1)
    return np.clip(image, 0, 255)


def figure_width(height):
    return height // 4


def draw_figure(frame, x, height, t):
    """A person near the camera (a quarter of the height wide, 0.75 of it
    tall) in striped clothes, swinging its legs; x is its left edge."""
    h = int(0.75 * height)
    w = figure_width(height)
    top = int(0.22 * height)
    torso_top, torso_bottom = top + h // 6, top + h * 3 // 5
    cv2.ellipse(frame, (x + w // 2, top + h // 12), (w // 4, h // 12), 0, 0, 360, (120, 150, 200), -1)
    # Stripes of uneven widths (a 40th to a 12th of the height), the same on
    # every frame: a regular pattern would look unchanged after a shift of
    # one period.
    sx, i = x, 0
    for width_share in STRIPES:
        stripe = max(int(height * width_share), 1)
        colour = (40, 40, 160) if i % 2 else (230, 230, 220)
        cv2.rectangle(frame, (sx, torso_top), (min(sx + stripe, x + w) - 1, torso_bottom), colour, -1)
        sx, i = sx + stripe, i + 1
        if sx >= x + w:
            break
    swing = int(math.sin(t * 2 * math.pi * 1.6) * w * 0.25)
    leg = max(w // 3, 2)
    for dx, sign in ((w // 6, 1), (w - w // 6 - leg, -1)):
        pts = np.array([[x + dx, torso_bottom], [x + dx + leg, torso_bottom],
                        [x + dx + leg + sign * swing, top + h], [x + dx + sign * swing, top + h]], np.int32)
        cv2.fillPoly(frame, [pts], (35, 30, 30))


def crossing_x(width, figure_w, t, start, seconds):
    """Left edge of a figure entering at the left at `start` and gone at the
    right `seconds` later; None when out of view."""
    if t < start or t > start + seconds:
        return None
    return int(-figure_w + (width + figure_w) * (t - start) / seconds)


class Writer:
    def __init__(self, folder, name, width, height, fps):
        self.file = name + ".avi"
        self.path = os.path.join(folder, self.file)
        self.video = cv2.VideoWriter(self.path, cv2.VideoWriter_fourcc(*"MJPG"), fps, (width, height))
        if not self.video.isOpened():
            raise RuntimeError("cannot write " + self.path)
        self.noise = np.empty((height, width, 3), np.float32)
        self.frames = 0

    def add(self, image):
        cv2.randn(self.noise, 0, NOISE_SIGMA)
        self.video.write(np.clip(image + self.noise, 0, 255).astype(np.uint8))
        self.frames += 1

    def close(self):
        self.video.release()


def figure_span(frame_times, width, figure_w, start, seconds):
    seen = [t for t in frame_times if crossing_x(width, figure_w, t, start, seconds) is not None
            and crossing_x(width, figure_w, t, start, seconds) > -figure_w
            and crossing_x(width, figure_w, t, start, seconds) < width]
    return "%d-%d" % (round(seen[0] * 1000), round(seen[-1] * 1000))


def walk(folder, width, height, fps, seconds, seed):
    name = "walk_%ds_%dfps_%dx%d" % (seconds, fps, width, height)
    background = yard(width, height, seed)
    total = LEAD_IN_S + seconds + LEAD_OUT_S
    times = [i / fps for i in range(int(round(total * fps)))]
    out = Writer(folder, name, width, height, fps)
    for t in times:
        frame = background.copy()
        x = crossing_x(width, figure_width(height), t, LEAD_IN_S, seconds)
        if x is not None:
            draw_figure(frame, x, height, t)
        out.add(frame)
    out.close()
    span = figure_span(times, width, figure_width(height), LEAD_IN_S, seconds)
    return [name, out.file, width, height, fps, out.frames, span, "-"]


def still_scene(folder, kind, fps, seed, width=640, height=480):
    name = "%s_%dfps" % (kind, fps)
    rng = np.random.default_rng(seed + 1)
    background = yard(width, height, seed)
    times = [i / fps for i in range(STILL_SECONDS * fps)]
    out = Writer(folder, name, width, height, fps)
    xs = np.arange(width, dtype=np.float32)[None, :, None]
    ys = np.arange(height, dtype=np.float32)[:, None, None]
    # The lamp: strong at the left edge, gone at 60 % of the width.
    lamp = np.clip(1.0 - xs / (0.6 * width), 0, 1) * 90.0
    lamp_on = [(4, 10), (16, 21)]
    # Exposure: a new gain every 0.6 to 2 s, reached within two frames.
    gain, target, next_change = 1.0, 1.0, 0.0
    # Leaves: blobs on a bright canopy area at the top right.
    canopy = (int(0.55 * width), int(0.02 * height), int(0.98 * width), int(0.38 * height))
    leaves = [(rng.uniform(canopy[0], canopy[2]), rng.uniform(canopy[1], canopy[3]),
               rng.uniform(10, 20), rng.uniform(0.8, 2.5), rng.uniform(0, 6.3)) for _ in range(60)]
    crossing_start, crossing_s = 13.0, 4.0
    for t in times:
        frame = background.copy()
        if kind == "flicker":
            if t >= next_change:
                target = rng.uniform(0.8, 1.2)
                next_change = t + rng.uniform(0.6, 2.0)
            gain += (target - gain) * 0.6
            frame *= gain
        elif kind == "ramp":
            frame *= 0.55 + 0.70 * t / STILL_SECONDS
        elif kind == "lamp":
            if any(a <= t < b for a, b in lamp_on):
                frame += lamp
        elif kind == "cloud":
            # Two shadows, each across the picture in 10 s.
            for start in (2.0, 13.0):
                cx = -0.3 * width + 1.6 * width * (t - start) / 10.0
                d = ((xs - cx) / (0.3 * width)) ** 2 + ((ys - 0.5 * height) / (0.35 * height)) ** 2
                frame *= 1.0 - 0.6 * np.exp(-d * 3.0)
        elif kind == "leaves":
            cv2.rectangle(frame, canopy[:2], canopy[2:], (200, 215, 225), -1)
            for lx, ly, r, hz, phase in leaves:
                # Gusts: the branches swing wide for a few seconds at a time.
                gust = 0.3 + 0.7 * max(0.0, math.sin(2 * math.pi * t / 7.0))
                dx = 22 * gust * math.sin(2 * math.pi * hz * t + phase)
                dy = 8 * gust * math.cos(2 * math.pi * hz * t + phase)
                cv2.circle(frame, (int(lx + dx), int(ly + dy)), int(r), (30, 90, 40), -1)
            x = crossing_x(width, figure_width(height), t, crossing_start, crossing_s)
            if x is not None:
                draw_figure(frame, x, height, t)
        out.add(np.clip(frame, 0, 255))
    out.close()
    mask = "-"
    crossings = "-"
    if kind == "leaves":
        mask = "leaves_mask.png"
        picture = np.full((height, width), 255, np.uint8)
        margin = 12
        cv2.rectangle(picture, (canopy[0] - margin, 0), (width - 1, canopy[3] + margin), 0, -1)
        cv2.imwrite(os.path.join(folder, mask), picture)
        crossings = figure_span(times, width, figure_width(height), crossing_start, crossing_s)
    return [name, out.file, width, height, fps, out.frames, crossings, mask]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    kinds = set(sys.argv[2:])
    os.makedirs(folder, exist_ok=True)
    listing_path = os.path.join(folder, "scenes.txt")
    kept = {}
    if kinds and os.path.exists(listing_path):
        with open(listing_path) as listing:
            for line in listing:
                kept[line.split()[0]] = line.rstrip("\n")
    lines = []
    seed = 7
    for width, height in ((640, 480), (1280, 720)):
        for seconds in (2, 4, 8):
            for fps in (10, 15, 30, 60):
                name = "walk_%ds_%dfps_%dx%d" % (seconds, fps, width, height)
                if kinds and "walk" not in kinds and name in kept:
                    lines.append(kept[name])
                else:
                    lines.append(" ".join(str(v) for v in walk(folder, width, height, fps, seconds, seed)))
                seed += 1
    for kind in ("still", "flicker", "ramp", "lamp", "cloud", "leaves"):
        for fps in (10, 30):
            name = "%s_%dfps" % (kind, fps)
            if kinds and kind not in kinds and name in kept:
                lines.append(kept[name])
            else:
                lines.append(" ".join(str(v) for v in still_scene(folder, kind, fps, 100 + len(lines))))
    with open(listing_path, "w") as listing:
        for line in lines:
            listing.write(line + "\n")
    print("%d scenes in %s" % (len(lines), folder))


if __name__ == "__main__":
    main()
