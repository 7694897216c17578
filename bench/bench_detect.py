"""Times trelvane.detect against scikit-image's Canny + probabilistic Hough.

    python bench/bench_detect.py STAGE_TIMER [--quick]

Runs on a real photo (camera, upscaled for the larger sizes) at 512², 1024² and
2048² (512² only with --quick), uint8, scales 0.8 and 1.0. For each it prints
trelvane's time and segment count, the peer's time and line count, the ratio
of the two, the cost of the level-line field stage alone (the floor: every
detection computes it once), and how a run's time splits between the stages,
as measured by the C++ stage timer (bench/detect_stages.cpp) on the same image.
"""

import argparse
import os
import subprocess
import tempfile
import time

import numpy as np
import skimage.data
import skimage.feature
import skimage.transform
from PIL import Image

import trelvane


def best_of(fn, repeats):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def photo(side):
    camera = skimage.data.camera()
    if side == camera.shape[0]:
        return camera
    big = skimage.transform.resize(camera, (side, side), order=1, preserve_range=True)
    return np.ascontiguousarray(np.round(big).astype(np.uint8))


def canny_hough(image):
    # The pipeline a user would reach for instead: edges, then line pieces.
    edges = skimage.feature.canny(image, sigma=2.0)
    return skimage.transform.probabilistic_hough_line(edges, threshold=10, line_length=20,
                                                      line_gap=3, rng=0)


def stage_times(timer, image, scale, repeats):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image.pgm")
        Image.fromarray(image).save(path)
        out = subprocess.run([timer, path, repr(scale), str(repeats)], check=True,
                             capture_output=True, text=True).stdout.split()
    return {key: float(value) for key, value in zip(out[::2], out[1::2])}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("timer", help="path of the detect_stages executable")
    parser.add_argument("--quick", action="store_true", help="512x512 only")
    args = parser.parse_args()
    sides = (512,) if args.quick else (512, 1024, 2048)

    header = (f"{'image':<12}{'scale':>6}{'ms':>9}{'segs':>6}{'peer ms':>10}{'lines':>7}"
              f"{'speedup':>9}{'field ms':>10}{'x field':>9}   stage split (%)")
    print("trelvane.detect vs skimage canny + probabilistic_hough_line, uint8, best of 5 (peer best of 2)\n")
    print(header)
    print("-" * (len(header) + 40))
    for side in sides:
        image = photo(side)
        peer, lines = best_of(lambda: canny_hough(image), 2)
        for scale in (0.8, 1.0):
            ours, segments = best_of(lambda: trelvane.detect(image, scale), 5)
            stages = stage_times(args.timer, image, scale, 5)
            total = stages["total"]
            split = " ".join(f"{name} {100 * stages[name] / total:.0f}"
                             for name in ("downsampling", "field", "ordering", "growing", "validation"))
            field = stages["field"]
            print(f"{f'{side}x{side}':<12}{scale:>6}{ours * 1e3:>9.1f}{len(segments):>6}"
                  f"{peer * 1e3:>10.1f}{len(lines):>7}{peer / ours:>8.1f}x{field * 1e3:>10.2f}"
                  f"{ours / field:>9.1f}   {split}", flush=True)


if __name__ == "__main__":
    main()
