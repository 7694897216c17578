"""Rectifying a photographed document
==================================

Rectify a photographed document: find the page's border lines with ``detect``,
intersect them, fit the homography and undo it with ``warp_rgb``.

Run it with::

    python examples/rectify_document.py [--out rectify_document.png]

The "photograph" is synthetic, so the true page corners are known: the page of
``skimage.data.page()`` is warped in perspective onto a photo of grass. The script
prints how far the detected corners lie from the true ones and writes the
photo with the detected lines beside the rectified page.
"""

import argparse
from pathlib import Path

import numpy as np
import skimage.color
import skimage.data
from numpy.typing import NDArray
from PIL import Image, ImageDraw

import trelvane

Points = NDArray[np.float64]  # (4, 2): x, y per corner
# detect's scale for page borders: 0.5 finds them where a page ends in a hard,
# stair-stepped edge, where 1.0 finds none (bench/rectify_scale.py; the table
# is in the documentation's conventions, "Choosing a scale"). Its coordinates
# are pixel centres, as at 1.0 and as warp_rgb takes them.
SCALE = 0.5


def homography(src: Points, dst: Points) -> NDArray[np.float64]:
    """The 3 x 3 matrix taking the four src points to the four dst points."""
    rows = []
    for (x, y), (u, v) in zip(src, dst):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
    h = np.linalg.solve(np.array(rows), dst.ravel())
    return np.append(h, 1.0).reshape(3, 3)


def page_corners(w: int, h: int) -> Points:
    # The outer corners of a w x h image, in pixel-centre coordinates.
    return np.array([[-0.5, -0.5], [w - 0.5, -0.5], [w - 0.5, h - 0.5], [-0.5, h - 0.5]])


def photograph(page: NDArray[np.uint8], quad: Points) -> NDArray[np.uint8]:
    """The page seen in perspective, its corners on quad, over a grass photo."""
    grass = skimage.data.grass()[:360, :480]
    background = np.stack([grass // 6, grass // 4, grass // 8], axis=-1).astype(np.uint8)
    size = (background.shape[1], background.shape[0])
    # Padded by 3 pixels: the page with its edge pixels repeated, so that the
    # filters see page on both sides of its border, and a mask of its extent
    # whose bilinear ramp anti-aliases the border. A sharp, aliased border
    # would read as a staircase, not as a line.
    pad = 3
    shift = np.array([[1.0, 0, pad], [0, 1, pad], [0, 0, 1]])
    to_page = shift @ np.linalg.inv(homography(page_corners(page.shape[1], page.shape[0]), quad))
    rgb = np.repeat(np.pad(page, pad, mode="edge")[:, :, None], 3, axis=2)
    mask = np.zeros_like(rgb)
    mask[pad:-pad, pad:-pad] = 255
    seen = trelvane.warp_rgb(rgb, to_page.ravel(), 1.0, 0.0, 0.0, "lanczos3", size)
    alpha = trelvane.warp_rgb(mask, to_page.ravel(), 1.0, 0.0, 0.0, "bilinear", size) / 255
    return np.round(alpha * seen + (1 - alpha) * background).astype(np.uint8)


Line = NDArray[np.float64]  # (a, b, c) with a x + b y + c = 0 and a^2 + b^2 = 1


def fit_line(points: NDArray[np.float64]) -> Line:
    """Total least squares line through the points."""
    centre = points.mean(axis=0)
    normal = np.linalg.svd(points - centre)[2][1]
    return np.array([normal[0], normal[1], -normal @ centre])


def collinear_groups(segments: list[trelvane.Segment], min_length: float) -> list[NDArray[np.float64]]:
    """End points of the segments, grouped by the line they lie on: a border
    often comes out in several pieces. Groups shorter than min_length in
    total are dropped."""
    groups: list[tuple[Line, list[trelvane.Segment]]] = []
    for s in segments:  # longest first: each group's line is its longest piece
        ends = np.array([[s.x1, s.y1, 1.0], [s.x2, s.y2, 1.0]])
        for line, members in groups:
            if np.abs(ends @ line).max() < 1.5:
                members.append(s)
                break
        else:
            groups.append((fit_line(ends[:, :2]), [s]))
    return [np.array([[p.x1, p.y1] for p in m] + [[p.x2, p.y2] for p in m])
            for _, m in groups if sum(p.length for p in m) >= min_length]


def border_lines(segments: list[trelvane.Segment], min_length: float) -> list[Line]:
    """Top, right, bottom and left border: the outermost long lines, compared
    where they cross the vertical (flat lines) or horizontal (steep lines)
    through the centre of all long lines. On a tilted page, a text line's
    points can lie higher on average than the top border's."""
    groups = collinear_groups(segments, min_length)
    cx, cy = np.concatenate(groups).mean(axis=0)
    flat = [fit_line(g) for g in groups if np.ptp(g[:, 0]) > np.ptp(g[:, 1])]
    steep = [fit_line(g) for g in groups if np.ptp(g[:, 0]) <= np.ptp(g[:, 1])]

    def y_at_centre(line: Line) -> float:
        return float(-(line[0] * cx + line[2]) / line[1])

    def x_at_centre(line: Line) -> float:
        return float(-(line[1] * cy + line[2]) / line[0])

    return [min(flat, key=y_at_centre), max(steep, key=x_at_centre),
            max(flat, key=y_at_centre), min(steep, key=x_at_centre)]


def intersection(a: Line, b: Line) -> NDArray[np.float64]:
    p = np.cross(a, b)
    return np.asarray(p[:2] / p[2], np.float64)


def rectify(photo: NDArray[np.uint8], page_shape: tuple[int, int]) -> tuple[Points, NDArray[np.uint8]]:
    """Detected page corners (top-left, clockwise) and the rectified page."""
    gray = np.round(skimage.color.rgb2gray(photo) * 255).astype(np.uint8)
    top, right, bottom, left = border_lines(trelvane.detect(gray, SCALE), 0.4 * min(page_shape))
    corners = np.array([intersection(top, left), intersection(top, right),
                        intersection(bottom, right), intersection(bottom, left)])
    h, w = page_shape
    to_photo = homography(page_corners(w, h), corners)
    return corners, trelvane.warp_rgb(photo, to_photo.ravel(), 1.0, 0.0, 0.0, "lanczos3", (w, h))


def picture(photo: NDArray[np.uint8], corners: Points, page: NDArray[np.uint8]) -> Image.Image:
    canvas = Image.new("RGB", (photo.shape[1] + 8 + page.shape[1], max(photo.shape[0], page.shape[0])), "white")
    canvas.paste(Image.fromarray(photo), (0, 0))
    canvas.paste(Image.fromarray(page), (photo.shape[1] + 8, 0))
    draw = ImageDraw.Draw(canvas)
    draw.polygon([(float(x), float(y)) for x, y in corners], outline=(255, 40, 40))
    return canvas


def main(argv: list[str] | None = None) -> float:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", type=Path, default=Path("rectify_document.png"))
    args = parser.parse_args(argv)

    page = skimage.data.page()
    quad = np.array([[112.3, 41.8], [414.6, 77.2], [386.1, 300.4], [58.7, 262.9]])
    photo = photograph(page, quad)
    corners, rectified = rectify(photo, page.shape)
    error = float(np.hypot(*(corners - quad).T).max())
    print(f"corner error against the known homography: {error:.3f} px (largest of 4)")
    picture(photo, corners, rectified).save(args.out)
    print(args.out)
    return error


if __name__ == "__main__":
    main()
