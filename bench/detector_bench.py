#!/usr/bin/python3
"""The detection step written plainly in Python with OpenCV, as the reference
that the compiled step is compared with: load the BMP, grey, Otsu, erode and
dilate, XOR with the previous frame, clean, count."""
import os
import sys
import time

import cv2
import numpy as np

ITERATIONS = int(os.environ.get("ITERATIONS", "200"))


def make_frames(folder, width, height):
    paths = []
    rng = np.random.default_rng(1)
    for variant in range(2):
        frame = rng.integers(0, 255, (height, width, 3), dtype=np.uint8)
        frame = cv2.GaussianBlur(frame, (15, 15), 0)
        x = width // 4 + variant * width // 8
        cv2.rectangle(frame, (x, height // 4), (x + width // 4 - 1, height // 2 - 1),
                      (255, 255, 255), cv2.FILLED)
        path = os.path.join(folder, f"vardocam-pybench-{os.getpid()}-{width}-{variant}.bmp")
        cv2.imwrite(path, frame)
        paths.append(path)
    return paths


def run(paths, iterations):
    element = cv2.getStructuringElement(cv2.MORPH_RECT, (4, 4), (0, 0))
    reference = None
    start = time.perf_counter()
    for i in range(iterations):
        colour = cv2.imread(paths[i % 2], cv2.IMREAD_COLOR)
        grey = cv2.cvtColor(colour, cv2.COLOR_RGB2GRAY)
        _, grey = cv2.threshold(grey, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
        grey = cv2.erode(grey, element, anchor=(0, 0), iterations=2, borderType=cv2.BORDER_REPLICATE)
        grey = cv2.dilate(grey, element, anchor=(0, 0), iterations=2, borderType=cv2.BORDER_REPLICATE)
        if reference is not None:
            diff = cv2.bitwise_xor(grey, reference)
            diff = cv2.erode(diff, element, anchor=(0, 0), iterations=2, borderType=cv2.BORDER_REPLICATE)
            diff = cv2.dilate(diff, element, anchor=(0, 0), iterations=2, borderType=cv2.BORDER_REPLICATE)
            changed = int(np.count_nonzero(diff & 1))
            _ = changed * 100 // diff.size > 4
        reference = grey.copy()
    return (time.perf_counter() - start) / iterations * 1000.0


def main():
    folder = os.environ.get("XDG_RUNTIME_DIR") or "/dev/shm"
    for single in (True, False):
        cv2.setNumThreads(1 if single else -1)
        for width, height in ((640, 480), (1280, 720), (1920, 1080)):
            paths = make_frames(folder, width, height)
            ms = run(paths, ITERATIONS)
            print(f"PythonStep/w:{width}/h:{height}/single:{int(single)}  {ms:.3f} ms")
            for p in paths:
                os.remove(p)
    return 0


if __name__ == "__main__":
    sys.exit(main())
