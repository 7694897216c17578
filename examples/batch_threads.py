"""Many images on a thread pool
============================

Process many images with a ``concurrent.futures.ThreadPoolExecutor`` and print
the speed-up over a plain loop.

Run it with::

    python examples/batch_threads.py [--images 64] [--size 400] [--out batch_threads.png]

trelvane lets other Python threads run during each call, so plain threads run
calls side by side on the free-threaded interpreter (and on the regular one).
Each job here undoes a small rotation of a photo with ``warp_rgb`` and finds the
line segments of the result. The module's own worker threads already spread
each call's row loops over the processors; when you run your own pool, set
``TRELVANE_NUM_THREADS`` (for example to 1) before the first call to cap them.

Beside each wall time the script prints the CPU time per image (all threads
of the process): when the machine is busy with other work, the pool's
speed-up can fall below 1 while the CPU time per image stays the same.
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import skimage.color
import skimage.data
from numpy.typing import NDArray
from PIL import Image, ImageDraw

import trelvane

PHOTOS = ("astronaut", "coffee", "rocket", "immunohistochemistry")  # each at least 400 x 400


def job(photo: NDArray[np.uint8], degrees: float) -> tuple[NDArray[np.uint8], NDArray[np.float64]]:
    """Rotates the photo about its centre and returns it with its segments as
    an (N, 7) array."""
    h, w = photo.shape[:2]
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    cx, cy = (w - 1) / 2, (h - 1) / 2
    inverse = [c, -s, cx - c * cx + s * cy, s, c, cy - s * cx - c * cy, 0, 0, 1]
    turned = trelvane.warp_rgb(photo, inverse, 1.0, 0.0, 0.0, "lanczos3")
    gray = np.round(skimage.color.rgb2gray(turned) * 255).astype(np.uint8)
    segments = trelvane.detect(gray)
    table = np.array([[g.x1, g.y1, g.x2, g.y2, g.width, g.precision, g.log_nfa] for g in segments])
    return turned, table.reshape(-1, 7)


def main(argv: list[str] | None = None) -> float:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--images", type=int, default=64)
    parser.add_argument("--size", type=int, default=400, help="crop, at most 400")
    parser.add_argument("--out", type=Path, default=Path("batch_threads.png"))
    args = parser.parse_args(argv)

    photos = [np.ascontiguousarray(getattr(skimage.data, name)()[:args.size, :args.size])
              for name in PHOTOS]
    work = [(photos[i % len(photos)], (i * 7) % 31 - 15.0) for i in range(args.images)]

    start, cpu = time.perf_counter(), time.process_time()
    serial = [job(*w) for w in work]
    loop, loop_cpu = time.perf_counter() - start, time.process_time() - cpu

    threads = os.cpu_count() or 1
    start, cpu = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(threads) as pool:
        parallel = list(pool.map(lambda w: job(*w), work))
    pooled, pooled_cpu = time.perf_counter() - start, time.process_time() - cpu

    assert all(np.array_equal(a[1], b[1]) for a, b in zip(serial, parallel))  # same results
    per_image = 1e3 / args.images  # milliseconds per image, from seconds per batch
    print(f"{args.images} images of {args.size}^2: "
          f"loop {loop:.2f} s (CPU {loop_cpu * per_image:.0f} ms per image), "
          f"{threads} threads {pooled:.2f} s (CPU {pooled_cpu * per_image:.0f} ms per image), "
          f"speed-up {loop / pooled:.2f}x")

    # The first four results, their segments in red.
    tiles = []
    for turned, table in parallel[:4]:
        tile = Image.fromarray(turned)
        draw = ImageDraw.Draw(tile)
        for x1, y1, x2, y2, width, _, _ in table:
            draw.line([(x1, y1), (x2, y2)], fill=(255, 40, 40), width=max(1, round(width / 2)))
        tiles.append(np.asarray(tile))
    Image.fromarray(np.hstack(tiles)).save(args.out)
    print(args.out)
    return loop / pooled


if __name__ == "__main__":
    main()
