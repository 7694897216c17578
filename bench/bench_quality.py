"""Scores how well trelvane.detect finds known straight edges, against
scikit-image's Canny + probabilistic Hough transform.

    python bench/bench_quality.py [--quick] [--tune] [--rst]

Synthetic 384x288 uint8 scenes hold six anti-aliased shapes (rotated
rectangles and triangles, 8x8 supersampled) on a gray background, each at a
known contrast, with Gaussian noise of a few standard deviations added; the
shapes' sides are the true edges. Pure-noise images hold no edge at all.
trelvane runs at scales 1.0, 0.8 and 0.5; Canny + Hough with scikit-image's
default parameters and with one tuned setting, chosen by --tune on separate
scenes (another seed) and kept in TUNED below. --rst also prints the summary
as a reStructuredText table for docs/conventions.rst.
"""

import argparse
import itertools
import time

import numpy as np
import skimage.draw
import skimage.feature
import skimage.transform

import trelvane

WIDTH, HEIGHT, SUPERSAMPLE = 384, 288, 8
BACKGROUND, CONTRASTS = 128, (30, 90)
NOISE_LEVELS = (0, 5, 10, 20)       # standard deviations, on the 0-255 scale
NOISE_ONLY_SIGMA = 20
TOLERANCE = 2.0                     # px, see MATCHING
# Chosen by --tune (the best F-score of recall and precision on 32 tuning
# scenes, out of 162 settings); Canny's thresholds stay at their defaults.
TUNED = {"sigma": 2.0, "threshold": 10, "line_length": 10, "line_gap": 10}

MATCHING = f"""\
Matching: true edges are the shapes' sides in pixel-centre coordinates. A detected
segment matches the true edge whose line both its end points lie within {TOLERANCE:g} px of,
and whose extent (lengthened by {TOLERANCE:g} px at each end) holds both end points'
projections; of several, the nearest. Recall is the length of the true edges covered
by the projections of their matches; precision the matched share of the detected
length; pieces the matches per found edge; end error the mean distance from each end
of a found edge to the nearest end of its matches (the shortfall at corners included)."""


# -- scenes --------------------------------------------------------------------

def rotated_rectangle(rng, cx, cy, room):
    w, h = rng.uniform(0.35, 0.8) * room, rng.uniform(0.25, 0.6) * room
    c, s = np.cos(angle := rng.uniform(0, np.pi)), np.sin(angle)
    corners = np.array([(-w, -h), (w, -h), (w, h), (-w, h)]) / 2
    return np.array([cx, cy]) + corners @ np.array([[c, s], [-s, c]])


def triangle(rng, cx, cy, room):
    while True:
        points = np.array([cx, cy]) + rng.uniform(-room / 2, room / 2, (3, 2))
        sides = np.roll(points, -1, axis=0) - points
        lengths = np.hypot(*sides.T)
        cosines = [-(sides[i] @ sides[i - 1]) / (lengths[i] * lengths[i - 1]) for i in range(3)]
        if lengths.min() > 30 and max(cosines) < np.cos(np.radians(30)):
            return points


def scene(rng, noise):
    """(uint8 image, true edges as an (n, 2, 2) array of end points)."""
    image = np.full((HEIGHT, WIDTH), float(BACKGROUND))
    edges = []
    cell = WIDTH // 3
    for i, j in itertools.product(range(3), range(2)):
        cx, cy = (i + 0.5) * cell + rng.uniform(-5, 5), (j + 0.5) * (HEIGHT // 2) + rng.uniform(-5, 5)
        shape = (rotated_rectangle if rng.random() < 0.5 else triangle)(rng, cx, cy, cell - 30)
        x0, y0 = np.floor(shape.min(axis=0)).astype(int)
        x1, y1 = np.ceil(shape.max(axis=0)).astype(int)
        # Sub-pixel (r, c) has its centre at ((c + 0.5) / S, (r + 0.5) / S) past (x0, y0).
        vertices = (shape[:, ::-1] - [y0, x0]) * SUPERSAMPLE - 0.5
        inside = skimage.draw.polygon2mask(((y1 - y0) * SUPERSAMPLE, (x1 - x0) * SUPERSAMPLE), vertices)
        coverage = inside.reshape(y1 - y0, SUPERSAMPLE, x1 - x0, SUPERSAMPLE).mean(axis=(1, 3))
        image[y0:y1, x0:x1] += rng.choice([-1, 1]) * rng.uniform(*CONTRASTS) * coverage
        corners = shape - 0.5  # pixel-corner to pixel-centre coordinates
        edges += [(corners[k], corners[(k + 1) % len(corners)]) for k in range(len(corners))]
    image += rng.normal(0, noise, image.shape)
    return np.clip(np.round(image), 0, 255).astype(np.uint8), np.array(edges)


def noise_only(rng):
    return np.clip(np.round(rng.normal(BACKGROUND, NOISE_ONLY_SIGMA, (HEIGHT, WIDTH))), 0, 255).astype(np.uint8)


# -- detectors -----------------------------------------------------------------

def trelvane_at(scale):
    def run(image):
        return np.array([(s.x1, s.y1, s.x2, s.y2) for s in trelvane.detect(image, scale)]).reshape(-1, 4)
    return run


def canny_hough(sigma=1.0, low=None, high=None, **hough):
    """Canny's thresholds low and high are on the 0-255 scale (None: its defaults, 25.5 and 51)."""
    def run(image):
        edges = skimage.feature.canny(image, sigma=sigma, low_threshold=low, high_threshold=high)
        lines = skimage.transform.probabilistic_hough_line(edges, rng=0, **hough)
        return np.array([(x0, y0, x1, y1) for (x0, y0), (x1, y1) in lines], float).reshape(-1, 4)
    return run


METHODS = {
    "trelvane 1.0": trelvane_at(1.0),
    "trelvane 0.8": trelvane_at(0.8),
    "trelvane 0.5": trelvane_at(0.5),
    "Canny+Hough default": canny_hough(),
    "Canny+Hough tuned": canny_hough(**TUNED),
}


# -- scoring -------------------------------------------------------------------

def covered(intervals):
    total, reach = 0.0, -np.inf
    for start, end in sorted(intervals):
        total += max(0.0, end - max(start, reach))
        reach = max(reach, end)
    return total


def score(segments, edges):
    """Sums over one image: edge length, covered length, detected length,
    matched length, found edges, their pieces, end errors."""
    starts, ends = edges[:, 0], edges[:, 1]
    lengths = np.hypot(*(ends - starts).T)
    along = (ends - starts) / lengths[:, None]
    across = along[:, ::-1] * [1, -1]
    matches = [[] for _ in edges]
    matched = 0.0
    for segment in segments:
        a, b = segment[:2] - starts, segment[2:] - starts
        distance = np.maximum(abs((a * across).sum(1)), abs((b * across).sum(1)))
        ta, tb = (a * along).sum(1), (b * along).sum(1)
        fits = ((distance <= TOLERANCE) & (np.minimum(ta, tb) >= -TOLERANCE)
                & (np.maximum(ta, tb) <= lengths + TOLERANCE))
        if fits.any():
            k = np.flatnonzero(fits)[np.argmin(distance[fits])]
            matches[k].append((segment, sorted((ta[k], tb[k]))))
            matched += np.hypot(*(segment[2:] - segment[:2]))
    covered_length, found, pieces, end_errors = 0.0, 0, 0, []
    for k, pieces_k in enumerate(matches):
        if not pieces_k:
            continue
        found, pieces = found + 1, pieces + len(pieces_k)
        covered_length += covered([(max(lo, 0.0), min(hi, lengths[k])) for _, (lo, hi) in pieces_k])
        ends_found = np.array([p for s, _ in pieces_k for p in (s[:2], s[2:])])
        end_errors += [np.hypot(*(ends_found - true_end).T).min() for true_end in edges[k]]
    detected = np.hypot(segments[:, 2] - segments[:, 0], segments[:, 3] - segments[:, 1]).sum()
    return np.array([lengths.sum(), covered_length, detected, matched, found, pieces,
                     sum(end_errors), len(end_errors)])


def evaluate(method, scenes):
    """Recall, precision, pieces per found edge, end error and seconds per image."""
    totals, seconds = np.zeros(8), 0.0
    for image, edges in scenes:
        start = time.perf_counter()
        segments = method(image)
        seconds += time.perf_counter() - start
        totals += score(segments, edges)
    length, covered_length, detected, matched, found, pieces, end_error, ends = totals
    return (covered_length / length, matched / detected if detected else 1.0,
            pieces / found if found else np.nan, end_error / ends if ends else np.nan,
            seconds / len(scenes))


def f_score(recall, precision):
    return 2 * recall * precision / (recall + precision) if recall + precision else 0.0


def tune(per_level):
    rng = np.random.default_rng(1)  # not the scenes the table is measured on
    scenes = [scene(rng, noise) for noise in NOISE_LEVELS for _ in range(per_level)]
    grid = [dict(sigma=sigma, low=low, high=2 * low, threshold=threshold, line_length=length, line_gap=gap)
            for sigma in (1.0, 2.0, 3.0) for low in (12.75, 25.5, 51.0) for threshold in (10, 30)
            for length in (10, 20, 40) for gap in (2, 5, 10)]
    results = []
    for setting in grid:
        recall, precision, *_ = evaluate(canny_hough(**setting), scenes)
        results.append((f_score(recall, precision), recall, precision, setting))
    results.sort(key=lambda r: -r[0])
    print(f"Canny + Hough settings by F-score on {len(scenes)} tuning scenes (seed 1):")
    for f, recall, precision, setting in results[:5]:
        print(f"  F {f:.3f}  recall {recall:.3f}  precision {precision:.3f}  {setting}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer scenes")
    parser.add_argument("--tune", action="store_true", help="search Canny + Hough settings first")
    parser.add_argument("--rst", action="store_true", help="also print the summary as an RST table")
    args = parser.parse_args()
    per_level = 4 if args.quick else 15
    if args.tune:
        tune(2 if args.quick else 8)
    rng = np.random.default_rng(0)
    levels = {noise: [scene(rng, noise) for _ in range(per_level)] for noise in NOISE_LEVELS}
    noise_images = [noise_only(rng) for _ in range(per_level)]
    for method in METHODS.values():
        method(levels[0][0][0])  # warm up (trelvane's pool, scikit-image's imports)

    print(f"Detection quality: {per_level} scenes per noise level ({WIDTH}x{HEIGHT}, six shapes, "
          f"contrast {CONTRASTS[0]}-{CONTRASTS[1]} on {BACKGROUND}), {len(noise_images)} "
          f"pure-noise images; tuned Canny + Hough: {TUNED}\n")
    print(MATCHING + "\n")
    header = f"{'noise':>5}  {'method':<20}{'recall':>8}{'precision':>10}{'pieces':>8}{'end px':>8}{'ms':>7}"
    print(header + "\n" + "-" * len(header))
    summary = {}
    for name, method in METHODS.items():
        false_alarms = sum(len(method(image)) for image in noise_images) / len(noise_images)
        for noise, scenes in levels.items():
            summary[name, noise] = evaluate(method, scenes) + (false_alarms,)
    for noise in NOISE_LEVELS:
        for name in METHODS:
            recall, precision, pieces, end_error, seconds, _ = summary[name, noise]
            print(f"{noise:>5}  {name:<20}{recall:>8.3f}{precision:>10.3f}{pieces:>8.2f}{end_error:>8.2f}"
                  f"{seconds * 1e3:>7.1f}")
        print()
    print(f"segments per pure-noise image (sigma {NOISE_ONLY_SIGMA}):")
    for name in METHODS:
        print(f"       {name:<20}{summary[name, 0][5]:>8.2f}")
    if args.rst:
        print_rst(summary)


def print_rst(summary):
    """The summary for docs/conventions.rst: recall at every noise level, the
    rest clean and at the second highest level."""
    noisy = NOISE_LEVELS[-2]
    columns = ([f"recall, noise {noise}" for noise in NOISE_LEVELS]
               + ["lowest precision", f"pieces per edge, noise {noisy}", f"end error (px), clean / noise {noisy}",
                  "segments per noise image", f"ms per image, clean / noise {noisy}"])
    rows = [["method", *columns]]
    for name in METHODS:
        results = [summary[name, noise] for noise in NOISE_LEVELS]
        clean, worse = results[0], summary[name, noisy]
        rows.append([name, *(f"{r[0]:.2f}" for r in results), f"{min(r[1] for r in results):.2f}",
                     f"{worse[2]:.1f}", f"{clean[3]:.1f} / {worse[3]:.1f}", f"{clean[5]:.0f}",
                     f"{clean[4] * 1e3:.1f} / {worse[4] * 1e3:.1f}"])
    print(".. list-table::\n   :header-rows: 1\n")
    for row in rows:
        print("\n".join(f"   {'*' if i == 0 else ' '} - {cell}" for i, cell in enumerate(row)))


if __name__ == "__main__":
    main()
