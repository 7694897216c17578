"""Detector inputs whose results are recorded bit for bit in
data/detect_reference.json, and the fingerprint that is recorded for each.

    python tests/python/detect_cases.py   # rewrite the record (PYTHONPATH=module dir)

The record is taken once from a known-good build; every later build must give
the same segments, to the last bit of every field, in the same order.
"""
import functools
import hashlib
import json
import math
import os
import sys

import numpy as np
import skimage.color
import skimage.data
import skimage.transform

RECORD = os.path.join(os.path.dirname(__file__), "data", "detect_reference.json")
FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
SCALES = (0.3, 0.5, 0.8, 1.0)


@functools.cache
def luminance(name):
    """The photo as float64 luminance in 0 ... 255, cropped to at most 480 x 512."""
    image = getattr(skimage.data, name)()
    if image.ndim == 3:
        rgb = skimage.color.rgba2rgb(image) if image.shape[2] == 4 else image
        image = skimage.color.rgb2gray(rgb) * 255
    else:
        image = image.astype(float) * (255 / image.max())
    return image[:480, :512]


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


def cases():
    """{case id: (image, scale)}; images are built on demand."""
    out = {}
    dtypes = (np.uint8, np.uint16, np.float32, np.float64)
    for name in PHOTOS:
        for dtype in dtypes:
            for scale in SCALES:
                out[f"{name}-{dtype.__name__}-{scale}"] = (
                    lambda n=name, d=dtype: in_dtype(luminance(n), d), scale)
    for scale in SCALES:
        for dtype in (np.uint8, np.float64):
            out[f"camera1024-{dtype.__name__}-{scale}"] = (
                lambda d=dtype: in_dtype(upscaled("camera", 1024), d), scale)
        for layout, view in LAYOUTS.items():
            for dtype in dtypes:
                out[f"camera-{layout}-{dtype.__name__}-{scale}"] = (
                    lambda v=view, d=dtype: v(in_dtype(luminance("camera"), d)), scale)
        for h, w in ((48, 64), (80, 100), (53, 37)):
            out[f"coins{h}x{w}-float64-{scale}"] = (lambda h=h, w=w: luminance("coins")[100:100 + h, 90:90 + w], scale)
        synthetic = {
            "noise": lambda: noise(200, 240),
            "noise-uint8": lambda: noise(200, 240).astype(np.uint8),
            "constant": lambda: np.full((60, 70), 77.0),
            "bars": lambda: bars(150, 210),
            "bars-uint16": lambda: (bars(150, 210) * 257).astype(np.uint16),
            "specials": lambda: with_specials(luminance("camera")[:200, :240]),
            "specials-float32": lambda: with_specials(luminance("camera")[:200, :240]).astype(np.float32),
            "3x3": lambda: np.array([[0, 0, 0], [0, 255, 0], [255, 255, 255]], np.float64),
            "4x100": lambda: bars(4, 100),
            "100x5": lambda: noise(100, 5),
            "huge": lambda: luminance("text") * 1e300,
            "tiny": lambda: luminance("text") * 1e-300,
            "large-float32": lambda: (luminance("text") * 1e30).astype(np.float32),
        }
        for name, make in synthetic.items():
            out[f"{name}-{scale}"] = (make, scale)
    for scale in (0.1, 0.2, 2.0, math.nan):
        out[f"narrow-float64-{scale}"] = (lambda: luminance("page")[:40, :], scale)
        out[f"camera-uint8-{scale}"] = (lambda: photo("camera"), scale)
    for scale in (0.8, 1.0):
        out[f"camera2048-uint8-{scale}"] = (lambda: np.round(upscaled("camera", 2048)).astype(np.uint8), scale)
    return out


def fingerprint(segments):
    """[count, sha256 of every field's float64 bits, in order]."""
    values = np.array([[getattr(s, f) for f in FIELDS] for s in segments], np.float64)
    return [len(segments), hashlib.sha256(values.tobytes()).hexdigest()[:24]]


def record(detect):
    return {case: fingerprint(detect(make(), scale)) for case, (make, scale) in cases().items()}


if __name__ == "__main__":
    import trelvane
    result = record(trelvane.detect)
    os.makedirs(os.path.dirname(RECORD), exist_ok=True)
    with open(RECORD, "w") as f:
        f.write("{\n" + ",\n".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in sorted(result.items()))
                + "\n}\n")
    print(f"{len(result)} cases, {sum(c for c, _ in result.values())} segments -> {RECORD}", file=sys.stderr)
