"""Which scale of detect finds the borders of a photographed page: the first
step of rectifying it (examples/rectify_document.py).

    python bench/rectify_scale.py [--quick]

Each input is skimage.data.page(), enlarged to 768 x 382 and warped in
perspective with warp_rgb (bilinear or Lanczos-3) onto a 1024 x 768 black
background: warp_rgb gives 0 outside the source, so the page ends in the
hard, stair-stepped border a rectification meets on a page cut out of a
photo. For comparison, the anti-aliased border of the example's synthetic
photograph. Sixteen views: rotations of 0 to 30 degrees, with random
perspective.

A side counts as found when detect gives one segment within 2 px of the true
border line, along at least half of it; the corners are those of the
example's pipeline (collinear groups, the outermost long line per side,
intersected), and a view counts as rectified when all four lie within 1 px
of the true corners.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import skimage.data

import trelvane

ROOT = Path(__file__).resolve().parent.parent
SCALES = (0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0)
GOOD = 1.0  # px: a view is rectified when its four corners are this close
CANVAS = (1024, 768)
TOLERANCE = 2.0  # px from the true line


def views(count, seed=3):
    """Quads (top-left, clockwise) of the page in the canvas."""
    rng = np.random.default_rng(seed)
    w, h = 768, 382
    base = np.array([[-w / 2, -h / 2], [w / 2, -h / 2], [w / 2, h / 2], [-w / 2, h / 2]])
    out = []
    for angle in np.linspace(0, 30, count):
        t = np.radians(angle)
        rotation = np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])
        corners = base @ rotation.T * 0.85 + rng.uniform(-40, 40, (4, 2))
        out.append(corners + np.array(CANVAS) / 2)
    return out


def photograph(example, page, quad, border):
    """The page on quad over black. A "bilinear" or "lanczos3" border is the
    filter's own, cut where the source ends; an "anti-aliased" one is the
    example's: the page padded with its edge pixels and warped with Lanczos-3,
    blended through the bilinear ramp of a mask of its extent."""
    pad = 3 if border == "anti-aliased" else 0
    shift = np.array([[1.0, 0, pad], [0, 1, pad], [0, 0, 1]])
    to_page = shift @ np.linalg.inv(example.homography(example.page_corners(page.shape[1], page.shape[0]), quad))
    rgb = np.repeat(np.pad(page, pad, mode="edge")[:, :, None], 3, axis=2)
    if border != "anti-aliased":
        return trelvane.warp_rgb(rgb, to_page.ravel(), 1.0, 0.0, 0.0, border, CANVAS)[:, :, 0]
    mask = np.zeros_like(rgb)
    mask[pad:-pad, pad:-pad] = 255
    seen = trelvane.warp_rgb(rgb, to_page.ravel(), 1.0, 0.0, 0.0, "lanczos3", CANVAS)[:, :, 0]
    alpha = trelvane.warp_rgb(mask, to_page.ravel(), 1.0, 0.0, 0.0, "bilinear", CANVAS)[:, :, 0] / 255
    return np.round(alpha * seen).astype(np.uint8)


def sides_found(segments, quad):
    """How many of the four sides one segment covers for half its length."""
    found = 0
    for k in range(4):
        a, b = quad[k], quad[(k + 1) % 4]
        direction = (b - a) / np.linalg.norm(b - a)
        normal = np.array([-direction[1], direction[0]])
        for s in segments:
            ends = np.array([[s.x1, s.y1], [s.x2, s.y2]])
            if np.abs((ends - a) @ normal).max() < TOLERANCE and s.length >= 0.5 * np.linalg.norm(b - a):
                found += 1
                break
    return found


def corner_error(example, segments, quad, page_shape):
    try:
        lines = example.border_lines(segments, 0.4 * min(page_shape))
    except ValueError:  # a side with no long line at all
        return np.inf
    top, right, bottom, left = lines
    corners = np.array([example.intersection(top, left), example.intersection(top, right),
                        example.intersection(bottom, right), example.intersection(bottom, left)])
    return float(np.hypot(*(corners - quad).T).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="4 views instead of 16")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "examples"))
    import rectify_document as example
    page = np.kron(skimage.data.page(), np.ones((2, 2), np.uint8))  # 768 x 382
    quads = views(4 if args.quick else 16)
    print(f"page {page.shape[1]}x{page.shape[0]} warped onto {CANVAS[0]}x{CANVAS[1]} black, {len(quads)} views")
    print(f"{'border':<14}{'scale':>6}{'sides found':>13}{'views rectified':>17}{'median corner error px':>24}")
    for border in ("bilinear", "lanczos3", "anti-aliased"):
        photos = [photograph(example, page, quad, border) for quad in quads]
        for scale in SCALES:
            found, errors = 0, []
            for photo, quad in zip(photos, quads):
                segments = trelvane.detect(photo, scale)
                found += sides_found(segments, quad)
                errors.append(corner_error(example, segments, quad, page.shape))
            rectified = sum(e < GOOD for e in errors)
            print(f"{border:<14}{scale:>6}{f'{found}/{4 * len(quads)}':>13}{f'{rectified}/{len(quads)}':>17}"
                  f"{np.median(errors):>24.2f}")


if __name__ == "__main__":
    main()
