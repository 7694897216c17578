"""Times trelvane's resampling against SciPy, scikit-image, Pillow and a memory floor.

    python bench/bench_resample.py [--quick]

Every case resamples a 3840x2160 image (960x540 with --quick) into an output of
the same size. Times are the best of a few runs: the machine may be shared, and
the minimum is the figure least disturbed by other work. Peer columns give the
speedup (peer time / trelvane time) and the peer's own time; peers are all
bilinear, so they are compared with the bilinear rows only. The floor is one
np.copyto of as many bytes as the call must stream: the two float32 maps read
plus the output written (only the output for warp_rgb).
"""

import argparse
import time

import numpy as np
import scipy.ndimage as ndi
import skimage.data
import skimage.transform as skt
from PIL import Image

import trelvane

FILTERS = ("bilinear", "lanczos3")


def best_of(fn, repeats):
    """Returns the shortest of `repeats` timed calls and the last result."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def photo(w, h):
    # Nearest-neighbour upscale of a real photo: the content hardly matters to
    # the timing, the size does, and np.repeat makes it in a blink.
    astronaut = skimage.data.astronaut()
    k = -(-max(w, h) // astronaut.shape[0])
    return np.ascontiguousarray(np.repeat(np.repeat(astronaut, k, 0), k, 1)[:h, :w])


def lens_maps(w, h):
    # A 3 degree rotation about the centre plus mild barrel distortion: smooth
    # and near-identity locally, like a lens correction, yet not separable.
    y, x = np.mgrid[0:h, 0:w]
    cx, cy = (w - 1) / 2, (h - 1) / 2
    dx, dy = x - cx, y - cy
    k = 1 + 0.06 * (dx * dx + dy * dy) / (cx * cx + cy * cy)
    c, s = np.cos(np.radians(3)), np.sin(np.radians(3))
    map_x = cx + k * (c * dx - s * dy)
    map_y = cy + k * (s * dx + c * dy)
    return map_x.astype(np.float32), map_y.astype(np.float32)


def perspective(w, h):
    # Inverse homography taking the output rectangle to a trapezoid in the
    # source: a plane seen at an angle, so the divide by W is really needed.
    out = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], float)
    src = np.array([[0.2 * w, 0.1 * h], [0.8 * w, 0.05 * h], [w - 1, h - 1], [0, 0.95 * h]])
    return skt.ProjectiveTransform.from_estimate(out, src).params


def pillow_coeffs(H):
    # Pillow puts pixel centres at +0.5; conjugating by that shift makes it
    # sample the same source points as trelvane.
    shift = np.array([[1, 0, 0.5], [0, 1, 0.5], [0, 0, 1]])
    G = shift @ H @ np.linalg.inv(shift)
    return tuple((G / G[2, 2]).ravel()[:8])


def per_channel(fn, image):
    return np.dstack([fn(image[..., c]) for c in range(image.shape[2])])


def copy_floor(nbytes, repeats):
    src = np.ones(nbytes, np.uint8)
    dst = np.zeros_like(src)
    return best_of(lambda: np.copyto(dst, src), repeats)[0]


def check_close(ours, theirs, name):
    # Guards the timing: a broken map or homography would make a fast but
    # meaningless row. Edge handling differs slightly, hence a mean.
    limit = 0.01 * np.iinfo(ours.dtype).max
    error = np.abs(ours.astype(np.float64) - theirs.astype(np.float64)).mean()
    assert error < limit, f"{name}: mean |difference| {error:.2f} vs {limit:.2f}"


def cases(w, h):
    """Yields (function, dtype, trelvane call by filter, floor bytes, peers by name)."""
    base = photo(w, h)
    gray_base = np.ascontiguousarray(base[..., 1])
    map_x, map_y = lens_maps(w, h)
    coords = np.stack([map_y, map_x])  # (row, col) order for SciPy and skimage
    H = perspective(w, h)
    tform = skt.ProjectiveTransform(matrix=H)
    coeffs = pillow_coeffs(H)
    maps_bytes = map_x.nbytes + map_y.nbytes
    scipy_map = lambda img: ndi.map_coordinates(img, coords, order=1, prefilter=False)
    skimage_map = lambda img: skt.warp(img, coords, order=1, preserve_range=True)

    for dtype, gain in ((np.uint8, 1), (np.uint16, 257)):  # 257 maps 255 to 65535
        rgb = base.astype(dtype) * dtype(gain)
        gray = gray_base.astype(dtype) * dtype(gain)

        yield ("remap_rgb", dtype,
               lambda f, rgb=rgb: trelvane.remap_rgb(rgb, map_x, map_y, filter=f),
               maps_bytes + rgb.nbytes,
               {"SciPy": lambda rgb=rgb: per_channel(scipy_map, rgb),
                "skimage": lambda rgb=rgb: per_channel(skimage_map, rgb)})
        yield ("remap_gray", dtype,
               lambda f, gray=gray: trelvane.remap_gray(gray, map_x, map_y, filter=f),
               maps_bytes + gray.nbytes,
               {"SciPy": lambda gray=gray: scipy_map(gray),
                "skimage": lambda gray=gray: skimage_map(gray)})
        peers = {"skimage": lambda rgb=rgb: skt.warp(rgb, tform, order=1, preserve_range=True)}
        if dtype == np.uint8:  # Pillow has no 16-bit RGB mode
            image = Image.fromarray(rgb)
            peers["Pillow"] = lambda image=image: np.asarray(
                image.transform((w, h), Image.Transform.PERSPECTIVE, coeffs, Image.Resampling.BILINEAR))
        yield ("warp_rgb", dtype,
               lambda f, rgb=rgb: trelvane.warp_rgb(rgb, H.ravel().tolist(), 1.0, 0.0, 0.0,
                                                     filter=f, out_size=(w, h)),
               rgb.nbytes, peers)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="960x540 instead of 3840x2160")
    args = parser.parse_args()
    w, h = (960, 540) if args.quick else (3840, 2160)
    ours_repeats, peer_repeats = 7, 2

    peer_names = ("SciPy", "skimage", "Pillow")
    header = f"{'case':<30}{'ms':>9}{'floor ms':>10}{'x floor':>9}" + "".join(
        f"{name + ' speedup (ms)':>24}" for name in peer_names)
    print(f"trelvane resampling, {w}x{h} -> {w}x{h}, best of {ours_repeats} "
          f"(peers best of {peer_repeats})\n")
    print(header)
    print("-" * len(header))
    for function, dtype, ours, floor_bytes, peers in cases(w, h):
        floor = copy_floor(floor_bytes, ours_repeats)
        for f in FILTERS:
            t, out = best_of(lambda: ours(f), ours_repeats)
            cells = []
            for name in peer_names:
                if f != "bilinear" or name not in peers:
                    cells.append(f"{'-':>24}")
                    continue
                p, theirs = best_of(peers[name], peer_repeats)
                check_close(out, theirs, f"{function} {np.dtype(dtype).name} vs {name}")
                cells.append(f"{f'{p / t:.1f}x ({p * 1e3:.0f})':>24}")
            case = f"{function} {np.dtype(dtype).name} {f}"
            print(f"{case:<30}{t * 1e3:>9.1f}{floor * 1e3:>10.2f}{t / floor:>9.1f}" + "".join(cells),
                  flush=True)


if __name__ == "__main__":
    main()
