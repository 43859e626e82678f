#!/usr/bin/python3
"""Treated copies of Debian's sample clips (opencv-doc's vtest.avi, people
walking, and tree.avi, a tree in the wind): what a camera meets at dusk, at
night on infrared, in rain and fog, at a low frame rate, through a starved
encoder, at 1080p, and across the day/night switch. Each treatment is an
ffmpeg filter chain; every copy is 80 s long (the clip looped), Motion-JPEG.

    python3 bench/footage/make_footage.py OUT_DIR [SECONDS] [NAME,...]

(NAME,...: only these treatments, the listing's other lines kept.)

Writes OUT_DIR/footage.txt, one line per copy:
    name file fps people
(people: 1 where someone walks through the whole run, 0 where nobody does).
Skips with a message when opencv-doc's clips are not installed."""
import os
import subprocess
import sys

DATA = "/usr/share/doc/opencv-doc/examples/data"
CLIPS = [("vtest", "vtest.avi", 10, 1), ("tree", "tree.avi", 15, 0)]
# When the day/night switch happens in a run, s.
SWITCH_S = 20
# Sensor grain of a camera at night: strong, and new in every frame.
GRAIN = "noise=alls={grain}:allf=t"
# Infrared as such cameras give it: no colour, flat contrast, grain, soft.
IR = "hue=s=0,eq=contrast=0.45:brightness=0.06," + GRAIN.format(grain=14) + ",gblur=sigma=1.1"

# The switch to infrared, in one frame: colour gone, foliage bright (it
# reflects infrared), the lamp's light falling off towards the edges, grain.
SWITCH = ("colorchannelmixer=.1:.8:.1:0:.1:.8:.1:0:.1:.8:.1:0,vignette=angle=0.8,eq=contrast=0.6:brightness=0.1,"
          + GRAIN.format(grain=12) + ",gblur=sigma=1.0").replace(",", ":enable='gte(t,%d)'," % SWITCH_S) \
    + ":enable='gte(t,%d)'" % SWITCH_S

# name: (filter chain on the clip, frame rate or None for the clip's own,
# Motion-JPEG quality 2..31, rain streaks over it). {w} {h} are the clip's size.
TREATMENTS = [
    ("as_recorded", "null", None, 3, None),
    ("dusk", "eq=gamma=0.55:brightness=-0.10:saturation=0.6," + GRAIN.format(grain=16), None, 3, None),
    ("night_dark", "eq=gamma=0.45:brightness=-0.16:saturation=0.3," + GRAIN.format(grain=20), None, 3, None),
    ("infrared", IR, None, 3, None),
    # Darker than the check can look into: it must say so, not go quiet.
    ("too_dark", "eq=gamma=0.5:brightness=-0.2:saturation=0.2,lutyuv=y='val*0.3'," + GRAIN.format(grain=6),
     None, 3, None),
    ("rain", "null", None, 3, "rain"),
    ("rain_dusk", "eq=gamma=0.7:brightness=-0.06," + GRAIN.format(grain=10), None, 3, "rain"),
    ("fog", "lutrgb=r='val*0.4+135':g='val*0.4+135':b='val*0.4+140',gblur=sigma=1.6," + GRAIN.format(grain=6),
     None, 3, None),
    ("low_fps", "null", 3, 3, None),
    ("compressed", "null", None, 31, None),
    ("1080p", "scale=1920:1080", None, 3, None),
    ("640x480", "scale=640:480", None, 3, None),
    ("day_night", SWITCH, None, 3, None),
]

# Streaks: sparse bright specks, new in every frame, drawn out into slanting
# lines and laid over the picture's brightness by screen (lightening).
RAIN = ("color=c=black:s={w}x{h}:r={fps},format=yuv420p,"
        "geq=lum='if(lt(random(1)\\,{density})\\,255\\,0)':cb=128:cr=128,"
        "gblur=sigma=0.6:sigmaV={streak},lutyuv=y='min(255\\,val*5)',shear=shx=-0.2[r];"
        "[v][r]blend=c0_mode=screen:shortest=1")


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=width,height", "-of", "csv=p=0", path],
                         check=True, capture_output=True, text=True).stdout.strip()
    w, h = out.split(",")
    return int(w), int(h)


def make(out_dir, seconds, only):
    listing_path = os.path.join(out_dir, "footage.txt")
    listing = []
    if only and os.path.exists(listing_path):
        with open(listing_path) as f:
            listing = [line.strip() for line in f if line.split()[0].split("_", 1)[1] not in only]
    for clip, source, fps, people in CLIPS:
        path = os.path.join(DATA, source)
        w, h = probe(path)
        for name, chain, rate, quality, overlay in TREATMENTS:
            if only and name not in only:
                continue
            out_fps = rate or fps
            graph = "[0:v]format=yuv420p," + chain.format(w=w, h=h)
            if rate:
                graph += ",fps=%d" % rate
            if overlay:
                graph += "[v];" + RAIN.format(w=w, h=h, fps=out_fps, streak=max(3, h // 80), density=0.0025)
            file = "%s_%s.avi" % (clip, name)
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", "-1", "-i", path, "-t", str(seconds),
                            "-filter_complex", graph, "-r", str(out_fps), "-c:v", "mjpeg", "-q:v", str(quality),
                            "-pix_fmt", "yuvj420p", os.path.join(out_dir, file)], check=True)
            listing.append("%s_%s %s %d %d" % (clip, name, file, out_fps, people))
            print(listing[-1], flush=True)
    # The switch alone: the tree's first frame held still, grain on it, so
    # nothing but the switch changes the picture.
    if only and "day_night" not in only:
        return write_listing(listing_path, listing)
    file = "still_day_night.avi"
    graph = ("[0:v]trim=end_frame=1,loop=loop=-1:size=1,setpts=N/15/TB,format=yuv420p," + GRAIN.format(grain=4) + "," +
             SWITCH)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", os.path.join(DATA, "tree.avi"), "-t", str(seconds),
                    "-filter_complex", graph, "-r", "15", "-c:v", "mjpeg", "-q:v", "3", "-pix_fmt", "yuvj420p",
                    os.path.join(out_dir, file)], check=True)
    listing.append("still_day_night %s 15 0" % file)
    write_listing(listing_path, listing)


def write_listing(path, listing):
    with open(path, "w") as f:
        f.write("\n".join(listing) + "\n")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if not all(os.path.exists(os.path.join(DATA, c[1])) for c in CLIPS):
        print("make_footage: Debian's opencv-doc clips are not installed (%s); skipped" % DATA)
        return
    os.makedirs(sys.argv[1], exist_ok=True)
    make(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 80.0,
         set(sys.argv[3].split(",")) if len(sys.argv) > 3 else set())


if __name__ == "__main__":
    main()
