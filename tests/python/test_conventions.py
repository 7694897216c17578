"""Where detect puts edges, measured on exactly rendered polygons, and the
value scale it reads samples on. The documentation quotes these figures."""
import functools

import numpy as np
import pytest

import trelvane


def clipped_area(polygon, x, y):
    """Area of a convex polygon inside the pixel square [x, x+1] x [y, y+1]."""
    points = polygon
    for axis, bound, below in ((0, x, False), (0, x + 1, True), (1, y, False), (1, y + 1, True)):
        inside = [(p[axis] <= bound) == below or p[axis] == bound for p in points]
        clipped = []
        for i, p in enumerate(points):
            q = points[(i + 1) % len(points)]
            if inside[i]:
                clipped.append(p)
            if inside[i] != inside[(i + 1) % len(points)]:
                t = (bound - p[axis]) / (q[axis] - p[axis])
                clipped.append(p + t * (q - p))
        if not clipped:
            return 0.0
        points = clipped
    x_, y_ = np.array(points).T
    return 0.5 * abs(x_ @ np.roll(y_, -1) - y_ @ np.roll(x_, -1))


def render(shape, polygons, value=200.0):
    """Each pixel gets value times the area of it the polygons cover (pixel
    (x, y) is the square [x, x+1] x [y, y+1]): exact anti-aliasing."""
    image = np.zeros(shape)
    ys, xs = np.mgrid[0:shape[0], 0:shape[1]] + 0.5
    for polygon in polygons:
        inside, near = np.ones(shape, bool), np.zeros(shape, bool)
        for a, b in zip(polygon, np.roll(polygon, -1, axis=0)):
            normal = np.array([b[1] - a[1], a[0] - b[0]]) / np.hypot(*(b - a))  # outwards, clockwise on screen
            distance = (xs - a[0]) * normal[0] + (ys - a[1]) * normal[1]
            inside &= distance <= 0
            near |= np.abs(distance) < 0.75
        coverage = inside.astype(float)
        for y, x in zip(*np.nonzero(near)):
            coverage[y, x] = clipped_area(list(polygon), x, y)
        image += value * coverage
    return image


def rectangle(cx, cy, w, h, degrees):
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    corners = [(-w / 2, -h / 2), (w / 2, -h / 2), (w / 2, h / 2), (-w / 2, h / 2)]
    return np.array([(cx + c * dx - s * dy, cy + s * dx + c * dy) for dx, dy in corners])


@functools.cache
def scene():
    """Nine rectangles at fractional positions, some turned."""
    rng = np.random.default_rng(1)
    turns = [0, 0, 20, 0, 35, 0, 0, -25, 0]
    polygons = [rectangle(40 + 70 * i + rng.random(), 40 + 70 * j + rng.random(),
                          44 + rng.random(), 40 + rng.random(), turns[3 * j + i])
                for j in range(3) for i in range(3)]
    return render((230, 230), polygons), polygons


@pytest.mark.parametrize("scale, offset, tolerance, spread", [
    (1.0, -0.5, 0.02, 0.05),    # pixel centres
    (0.8, -0.125, 0.04, 0.35),  # the sampling grid lags by 3/8 px on average
    (0.5, -0.5, 0.03, 0.15),    # pixel centres again: the grid is every 2nd pixel
])
def test_edge_offsets_from_the_pixel_corner_convention(scale, offset, tolerance, spread):
    # Fit detected = true + (d, d) over every segment on a polygon edge: the
    # offset of each midpoint along its edge's normal n is d * (n_x + n_y).
    image, polygons = scene()
    edges = [(a, b) for p in polygons for a, b in zip(p, np.roll(p, -1, axis=0))]
    offsets, weights = [], []
    for s in trelvane.detect(image, scale):
        middle = np.array([s.x1 + s.x2, s.y1 + s.y2]) / 2
        direction = np.array([s.x2 - s.x1, s.y2 - s.y1]) / s.length
        for a, b in edges:
            along = (b - a) / np.hypot(*(b - a))
            normal = np.array([-along[1], along[0]])
            off = (middle - a) @ normal
            if abs(along @ direction) > 0.99 and abs(off) < 2 and 0 < (middle - a) @ along < np.hypot(*(b - a)):
                offsets.append(off)
                weights.append(normal.sum())
    assert len(offsets) >= 30
    offsets, weights = np.array(offsets), np.array(weights)
    d = offsets @ weights / (weights @ weights)
    assert d == pytest.approx(offset, abs=tolerance)
    assert np.abs(offsets - d * weights).max() < spread


def test_samples_are_read_on_a_0_to_255_scale():
    image, _ = scene()
    assert len(trelvane.detect(image)) > 30
    assert trelvane.detect(image / 255) == []
    assert len(trelvane.detect(image.astype(np.uint8))) > 30
