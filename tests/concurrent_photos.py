"""Several Python threads call every function at once on photos, and each
result must equal the one computed sequentially. Run by make sanitize against
the ThreadSanitizer module, which reports any data race among the calls and
the worker pool.

Usage: python tests/concurrent_photos.py [THREADS...]   (default: 4 8)
"""
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import skimage.data

import trelvane


def calls():
    """Every function, both filters and both sample types, on photos."""
    rgb = skimage.data.astronaut()[::2, ::2]   # 256 × 256
    coffee = skimage.data.coffee()[::2, ::2]   # 200 × 300
    gray = skimage.data.camera()[::2, ::2]
    h, w = gray.shape
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    map_x, map_y = xs + 6 * np.sin(ys / 20), ys * 0.9 + 3
    inverse = [1.0, 0.15, -40.0, 0.05, 1.1, -20.0, 0.0002, 0.0004, 1.0]
    made = []
    for filter in ("bilinear", "lanczos3"):
        for deep in (False, True):
            def depth(a):
                return a.astype(np.uint16) * 257 if deep else a
            made += [
                lambda src=depth(rgb), f=filter: trelvane.remap_rgb(src, map_x, map_y, f),
                lambda src=depth(gray), f=filter: trelvane.remap_gray(src, map_y, map_x, f),
                lambda src=depth(coffee), f=filter: trelvane.warp_rgb(src, inverse, 1.2, 5, -3, f, (240, 180)),
            ]
    made += [lambda image=image, scale=scale: trelvane.detect(image, scale)
             for image in (gray, skimage.data.coins().astype(np.float32), skimage.data.page())
             for scale in (1.0, 0.8)]
    return made


def comparable(result):
    if isinstance(result, list):
        return [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in result]
    return result.tobytes()


def main(thread_counts):
    work = calls()
    sequential = [comparable(call()) for call in work]
    for threads in thread_counts:
        # Each call twice, spread over the threads in a different order.
        order = list(range(len(work))) * 2
        np.random.default_rng(threads).shuffle(order)
        with ThreadPoolExecutor(max_workers=threads) as pool:
            results = list(pool.map(lambda i: (i, comparable(work[i]())), order))
        mismatches = [i for i, result in results if result != sequential[i]]
        print(f"{threads} threads: {len(results)} calls, {len(mismatches)} differ from the sequential results")
        if mismatches:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main([int(n) for n in sys.argv[1:]] or [4, 8]))
