"""Runs every function on fixed inputs and compares the results of two
architectures bit for bit.

    python tools/cross_identity.py write OUT.npz      # with trelvane importable
    python tools/cross_identity.py compare A.npz B.npz

The inputs use integer arithmetic and basic float operations only (no
mathematical library calls beyond the square root), so that both
architectures start from the same bits. Resampling must agree exactly (compare exits 1 otherwise); detect calls
the C library's mathematical functions, which may differ in the last bit
between libraries, so its rows are counted, not required to agree.
"""
import os
import platform
import sys

import numpy as np

# The tests' synthetic stroke scene: integer draws and exact arithmetic only.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from detect_cases import strokes  # noqa: E402

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")


def maps(h, w, oh, ow):
    """A rotation, a quadratic bulge and a few NaN and far-away positions."""
    r, c = np.mgrid[0:oh, 0:ow].astype(np.float64)
    u, v = c - ow / 2, r - oh / 2
    bulge = 1 + 0.3 * (u * u + v * v) / (ow * ow)
    mx = (0.96 * u - 0.28 * v) * bulge * w / ow + w / 2
    my = (0.28 * u + 0.96 * v) * bulge * h / oh + h / 2
    mx, my = mx.astype(np.float32), my.astype(np.float32)
    mx[::37, ::41] = np.nan
    my[5::53, ::29] = 1e30
    return mx, my


INVERSE = [1.02, 0.15, -40.0, 0.05, 1.1, -20.0, 0.0002, 0.0004, 1.0]


def results():
    import trelvane
    gray = np.minimum(strokes(360, 480, 40, 5), 255)
    out = {}
    for dtype, top in ((np.uint8, 1), (np.uint16, 257)):
        g = (gray * top).astype(dtype)
        rgb = np.stack([g, g[::-1], g[:, ::-1]], axis=-1)
        mx, my = maps(*g.shape, 300, 400)
        for f in ("bilinear", "lanczos3"):
            name = f"{dtype.__name__}-{f}"
            out[f"remap_gray {name}"] = trelvane.remap_gray(g, mx, my, f)
            out[f"remap_rgb {name}"] = trelvane.remap_rgb(rgb, mx, my, f)
            out[f"warp_rgb {name}"] = trelvane.warp_rgb(rgb, INVERSE, 0.8, 3.0, -2.0, f, (420, 330))
    for dtype in (np.uint8, np.float64):
        for scale in (1.0, 0.8, 0.5):
            found = trelvane.detect(gray.astype(dtype), scale)
            rows = np.array([[getattr(s, k) for k in FIELDS] for s in found]).reshape(-1, 7)
            out[f"detect {dtype.__name__} scale {scale}"] = rows
    return out


def compare(a, b):
    names = (a.get("machine", "first"), b.get("machine", "second"))
    print(f"function and input                  {names[0]} vs {names[1]}")
    resampling_differs = False
    for key in sorted(k for k in a if k != "machine"):
        x, y = a[key], b[key]
        if key.startswith("detect"):
            rows_x = {r.tobytes() for r in x}
            rows_y = {r.tobytes() for r in y}
            differ = max(len(rows_x - rows_y), len(rows_y - rows_x))
            verdict = f"{len(x)} and {len(y)} segments, {differ} differ in some bit"
        else:
            same = x.shape == y.shape and x.tobytes() == y.tobytes()
            resampling_differs |= not same
            verdict = "identical" if same else f"DIFFERENT: {np.count_nonzero(x != y)} samples"
        print(f"  {key:34s}{verdict}")
    print("resampling:", "DIFFERS" if resampling_differs else "identical on both")
    return 1 if resampling_differs else 0


def main(argv):
    if argv[:1] == ["write"] and len(argv) == 2:
        np.savez(argv[1], machine=platform.machine(), **results())
        return 0
    if argv[:1] == ["compare"] and len(argv) == 3:
        return compare(*(dict(np.load(p)) for p in argv[1:]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
