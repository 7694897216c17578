"""Detector inputs whose results are recorded in data/, and the fingerprints
recorded with them.

    python tests/python/detect_cases.py   # rewrite the record (PYTHONPATH=module dir)

detect_reference.json holds, per case, the segment count, a hash of every
field's float64 bits in order, and a hash of the input image; and hashes of
the C library's mathematical functions on fixed arguments. The detector calls
those functions, whose last bit may differ between C libraries (and between
the variants one library picks for a processor); inputs resized with
scikit-image may differ in a bit between machines too. Where the C library
and the input give the recorded hashes, every later build must give the
recorded segments to the last bit. detect_reference.npz keeps the segments themselves (float32, one
array per distinct result) for the comparison within tolerances elsewhere.
"""
import ctypes
import functools
import hashlib
import json
import math
import os
import sys
from collections.abc import Callable
from typing import NamedTuple

import numpy as np

from sample_photos import BUNDLED, sample

DATA = os.path.join(os.path.dirname(__file__), "data")
RECORD = os.path.join(DATA, "detect_reference.json")
SEGMENTS = os.path.join(DATA, "detect_reference.npz")
FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
SCALES = (0.3, 0.5, 0.8, 1.0)


class Case(NamedTuple):
    make: Callable[[], np.ndarray]
    scale: float
    photo: bool  # the input is built from a photo
    needs: str = ""  # why the input needs scikit-image, if it does


@functools.cache
def luminance(name):
    """The photo as float64 luminance in 0 ... 255, cropped to at most 480 x 512.
    A colour photo's luminance is scikit-image's rgb2gray, computed here with
    NumPy's exactly rounded element-wise operations so that it has the same
    bits everywhere."""
    image = sample(name)[:480, :512]
    if image.ndim == 3:
        r, g, b = np.moveaxis(np.multiply(image, 1.0 / 255), -1, 0)
        return (r * 0.2125 + g * 0.7154 + b * 0.0721) * 255
    return image.astype(float) * (255 / image.max())


def photo(name):
    """The photo as uint8 luminance (not square, so that swapped sides show)."""
    return np.round(luminance(name)).astype(np.uint8)


def in_dtype(values, dtype):
    """Float luminance in 0 ... 255 as dtype, using the dtype's own resolution."""
    if dtype == np.uint8:
        return np.round(values).astype(np.uint8)
    if dtype == np.uint16:
        return np.round(values * 257).astype(np.uint16)
    return values.astype(dtype)


@functools.cache
def upscaled(name, side):
    import skimage.transform
    return skimage.transform.resize(luminance(name), (side, side), order=1, preserve_range=True)


def bars(height, width):
    """Thin bright lines, one pixel wide, at several angles on a dark ground."""
    y, x = np.mgrid[0:height, 0:width]
    image = np.zeros((height, width))
    image[height // 3, :] = 200
    image[:, width // 4] = 150
    image[np.abs(y - x * 0.37 - 5) < 0.5] = 250
    image[np.abs(y + x * 1.8 - height) < 0.6] = 120
    return image


def noise(height, width, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (height, width)).astype(np.float64)


@functools.cache
def strokes(height, width, count, seed):
    """Anti-aliased bars of random direction, size and contrast (4 x 4 samples
    a pixel) over uniform integer noise. Integer draws and exact arithmetic
    only, so that the image has the same bits on every machine."""
    rng = np.random.default_rng(seed)
    image = rng.integers(0, 48, (height, width)).astype(np.float64)
    for _ in range(count):
        cx, cy = rng.integers(0, 4 * width) / 4, rng.integers(0, 4 * height) / 4
        ux, uy = rng.integers(1, 64), rng.integers(-63, 64)
        length, side, contrast = rng.integers(40, 400) / 4, rng.integers(6, 28) / 4, rng.integers(24, 160)
        norm = np.sqrt(float(ux * ux + uy * uy))
        # Sampled only around the bar: elsewhere its coverage is 0.
        reach_x, reach_y = (ux * length + abs(uy) * side) / norm, (abs(uy) * length + ux * side) / norm
        x0, x1 = max(int(cx - reach_x) - 1, 0), min(int(cx + reach_x) + 2, width)
        y0, y1 = max(int(cy - reach_y) - 1, 0), min(int(cy + reach_y) + 2, height)
        ys, xs = (np.mgrid[4 * y0:4 * y1, 4 * x0:4 * x1] + 0.5) / 4
        along = ((xs - cx) * ux + (ys - cy) * uy) / norm
        across = ((ys - cy) * ux - (xs - cx) * uy) / norm
        inside = (np.abs(along) <= length) & (np.abs(across) <= side)
        image[y0:y1, x0:x1] += contrast * inside.reshape(y1 - y0, 4, x1 - x0, 4).mean(axis=(1, 3))
    return image


def with_specials(image):
    """NaN and infinite pixels scattered over an image."""
    out = image.astype(np.float64).copy()
    rng = np.random.default_rng(1)
    for value in (math.nan, math.inf, -math.inf):
        out[rng.integers(0, out.shape[0], 40), rng.integers(0, out.shape[1], 40)] = value
    out[10:14, :] = math.nan  # a whole band
    return out


PHOTOS = ("camera", "astronaut", "brick", "coins", "page", "text", "rocket", "retina")
LAYOUTS = {
    "fortran": np.asfortranarray,
    "stepped": lambda a: a[::2, 1::3],
    "reversed": lambda a: a[::-1, ::-1],
}


def from_photo(name, make, scale, resized=False):
    """A case whose input is made from the named photo, saying why it needs
    scikit-image where it does: the photo is not bundled, or the input is
    resized."""
    needs = ("the input is resized with scikit-image" if resized else
             "" if name in BUNDLED else f"the input is made from scikit-image's {name} photo")
    return Case(make, scale, True, needs)


def cases():
    """{case id: Case}; images are built on demand."""
    out = {}
    dtypes = (np.uint8, np.uint16, np.float32, np.float64)
    for name in PHOTOS:
        for dtype in dtypes:
            for scale in SCALES:
                out[f"{name}-{dtype.__name__}-{scale}"] = from_photo(
                    name, lambda n=name, d=dtype: in_dtype(luminance(n), d), scale)
    for scale in SCALES:
        for dtype in (np.uint8, np.float64):
            out[f"camera1024-{dtype.__name__}-{scale}"] = from_photo(
                "camera", lambda d=dtype: in_dtype(upscaled("camera", 1024), d), scale, resized=True)
        for layout, view in LAYOUTS.items():
            for dtype in dtypes:
                out[f"camera-{layout}-{dtype.__name__}-{scale}"] = from_photo(
                    "camera", lambda v=view, d=dtype: v(in_dtype(luminance("camera"), d)), scale)
        for h, w in ((48, 64), (80, 100), (53, 37)):
            out[f"coins{h}x{w}-float64-{scale}"] = from_photo(
                "coins", lambda h=h, w=w: luminance("coins")[100:100 + h, 90:90 + w], scale)
        synthetic = {
            "noise": lambda: noise(200, 240),
            "noise-uint8": lambda: noise(200, 240).astype(np.uint8),
            "constant": lambda: np.full((60, 70), 77.0),
            "bars": lambda: bars(150, 210),
            "bars-uint16": lambda: (bars(150, 210) * 257).astype(np.uint16),
            "3x3": lambda: np.array([[0, 0, 0], [0, 255, 0], [255, 255, 255]], np.float64),
            "4x100": lambda: bars(4, 100),
            "100x5": lambda: noise(100, 5),
            "strokes": lambda: strokes(300, 400, 40, 5),
            "strokes-uint8": lambda: np.round(np.minimum(strokes(360, 330, 40, 6), 255)).astype(np.uint8),
        }
        from_photos = {
            "specials": ("camera", lambda: with_specials(luminance("camera")[:200, :240])),
            "specials-float32": ("camera", lambda: with_specials(luminance("camera")[:200, :240]).astype(np.float32)),
            "huge": ("text", lambda: luminance("text") * 1e300),
            "tiny": ("text", lambda: luminance("text") * 1e-300),
            "large-float32": ("text", lambda: (luminance("text") * 1e30).astype(np.float32)),
        }
        for name, make in synthetic.items():
            out[f"{name}-{scale}"] = Case(make, scale, False)
        for name, (source, make) in from_photos.items():
            out[f"{name}-{scale}"] = from_photo(source, make, scale)
    for scale in (0.1, 0.2, 2.0, math.nan):
        out[f"narrow-float64-{scale}"] = from_photo("page", lambda: luminance("page")[:40, :], scale)
        out[f"camera-uint8-{scale}"] = from_photo("camera", lambda: photo("camera"), scale)
    for scale in (0.8, 1.0):
        out[f"camera2048-uint8-{scale}"] = from_photo(
            "camera", lambda: np.round(upscaled("camera", 2048)).astype(np.uint8), scale, resized=True)
    return out


def digest(*parts):
    return hashlib.sha256(b"".join(parts)).hexdigest()[:24]


def as_array(segments):
    return np.array([[getattr(s, f) for f in FIELDS] for s in segments], np.float64).reshape(-1, len(FIELDS))


def fingerprint(segments):
    """[count, sha256 of every field's float64 bits, in order]."""
    return [len(segments), digest(as_array(segments).tobytes())]


def input_fingerprint(image):
    """sha256 of the logical content: dtype, shape and values in row-major order."""
    return digest(image.dtype.str.encode(), repr(image.shape).encode(), np.ascontiguousarray(image).tobytes())


# The C functions the detector calls, with the arguments to try: per argument
# (smallest, largest binary exponent of the magnitude, signed), spanning the
# detector's values (gradients of the huge and tiny test images too).
C_CALLS = (
    ("hypot", ((-8, 11, True),) * 2),
    ("hypot", ((990, 1010, True),) * 2),
    ("hypot", ((-1010, -990, True),) * 2),
    ("atan2", ((-8, 11, True),) * 2),
    ("sin", ((-12, 3, True),)),
    ("cos", ((-12, 3, True),)),
    ("exp", ((-12, 9, True),)),
    ("log", ((-40, 40, False),)),
    ("log10", ((-40, 40, False),)),
    ("pow", ((-12, 12, False), (-4, 4, True))),
    ("sinh", ((-12, 5, True),)),
)


def c_library_fingerprints(rounds=(1000, 20000)):
    """Yields, per round of arguments, a sha256 of the C library's results for
    the functions the detector calls (nothing where the C library cannot be
    reached). Arguments are drawn as integer mantissas and exponents, the same
    on every platform. Most other libraries differ in the first round already;
    some only on one argument in thousands."""
    try:
        library = ctypes.CDLL(None)
        functions = [getattr(library, name) for name, _ in C_CALLS]
    except (OSError, TypeError, AttributeError):
        return
    rng = np.random.default_rng(2024)
    for count in rounds:
        results = []
        for function, (_, spans) in zip(functions, C_CALLS):
            function.restype, function.argtypes = ctypes.c_double, [ctypes.c_double] * len(spans)
            arguments = []
            for low, high, signed in spans:
                values = np.ldexp(rng.integers(2 ** 52, 2 ** 53, count).astype(np.float64),
                                  rng.integers(low, high + 1, count) - 53)
                arguments.append(np.where(rng.integers(0, 2, count) == 1, -values, values) if signed else values)
            results += [function(*map(float, args)) for args in zip(*arguments)]
        yield digest(np.array(results).tobytes())


def write_record(detect):
    entries, arrays = {}, {}
    for case, (make, scale, *_) in sorted(cases().items()):
        image = make()
        segments = detect(image, scale)
        entries[case] = fingerprint(segments) + [input_fingerprint(image)]
        arrays[entries[case][1]] = as_array(segments).astype(np.float32)
    os.makedirs(DATA, exist_ok=True)
    with open(RECORD, "w") as f:
        f.write('{\n"c_library": %s,\n"cases": {\n' % json.dumps(list(c_library_fingerprints()))
                + ",\n".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in entries.items()) + "\n}}\n")
    np.savez_compressed(SEGMENTS, **arrays)
    return entries


if __name__ == "__main__":
    import trelvane
    result = write_record(trelvane.detect)
    print(f"{len(result)} cases, {sum(c for c, _, _ in result.values())} segments -> {RECORD}", file=sys.stderr)
