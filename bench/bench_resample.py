"""Times trelvane's resampling against SciPy, scikit-image, Pillow and a memory floor.

    python bench/bench_resample.py [--quick]

Every case resamples a 3840x2160 image (960x540 with --quick) into an output of
the same size. Times are the best of a few runs: the machine may be shared, and
the minimum is the figure least disturbed by other work. Each instruction-set
level runs in a worker process of its own (TRELVANE_ISA), asked for each case
in turn, so the levels are timed side by side; the level columns give each
level's speedup over the baseline level. Peer columns give the speedup (peer
time / time of the best level) and the peer's own time; peers are all
bilinear, so they are compared with the bilinear rows only. The floor is one
np.copyto of as many bytes as the call must stream: the two float32 maps read
plus the output written (only the output for warp_rgb). A last table times
tiny images, call by call, at the baseline and the best level.

With --float32-timer (bench/resample_float32.cpp, built by tools/bench), a
table compares the float32 kernels of 8-bit remap_rgb and remap_gray (bilinear)
and remap_rgb (Lanczos-3) with the exact kernel of the same level,
interleaved run after run in one process, beside the memory floor, and gives
the share of output pixels the float32 kernel recomputed with the exact code.
A case without a float32 kernel at a level runs the exact kernel twice there.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.ndimage as ndi
import skimage.data
import skimage.transform as skt
from PIL import Image

import trelvane

FILTERS = ("bilinear", "lanczos3")
LEVELS = ("baseline", "avx2", "avx512")
TINY = (1, 8, 64)


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


def tiny_case(side, function, f):
    rng = np.random.default_rng(side)
    rgb = rng.integers(0, 256, (side, side, 3), np.uint8)
    y, x = np.mgrid[0:side, 0:side].astype(np.float32)
    map_x, map_y = 0.9 * x + 0.3 * y + 0.2, 0.9 * y - 0.1 * x + 0.4
    if function == "warp_rgb":
        return lambda: trelvane.warp_rgb(rgb, [1, 0.01, 0, 0, 1, 0, 0, 0.001, 1], 1.0, 0.0, 0.0,
                                         filter=f, out_size=(side, side))
    return lambda: trelvane.remap_rgb(rgb, map_x, map_y, filter=f)


def worker(w, h, repeats):
    """Times the case named on each line of stdin; answers with its seconds."""
    ours = {(function, np.dtype(dtype).name): call for function, dtype, call, _, _ in cases(w, h)}
    for line in sys.stdin:
        kind, *key = line.split()
        if kind == "tiny":
            side, function, f = int(key[0]), key[1], key[2]
            call = tiny_case(side, function, f)
            seconds = min(best_of(call, 200)[0] for _ in range(3))
        else:
            function, dtype, f = key
            seconds = best_of(lambda: ours[function, dtype](f), repeats)[0]
        print(seconds, flush=True)


class Level:
    """A worker process that runs trelvane at one instruction-set level."""

    def __init__(self, name, args):
        env = dict(os.environ, TRELVANE_ISA=name)
        self.process = subprocess.Popen([sys.executable, __file__, "--worker", *args], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def time(self, *key):
        self.process.stdin.write(" ".join(map(str, key)) + "\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def cpu_levels():
    """The levels this CPU runs, as trelvane chooses them."""
    flags = open("/proc/cpuinfo").read().split("flags")[1].split("\n")[0].split()
    levels = ["baseline"]
    if "avx2" in flags and "fma" in flags and "bmi2" in flags:
        levels.append("avx2")
        if all(f in flags for f in ("avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512cd")):
            levels.append("avx512")
    return levels


FLOAT32_CASES = (("remap_rgb", "rgb", "bilinear"), ("remap_gray", "gray", "bilinear"),
                 ("remap_rgb", "rgb", "lanczos3"))


def float32_table(timer, w, h, repeats=9):
    """Float32 kernels against the exact kernels of the same level, side by side."""
    rgb = photo(w, h)
    images = {"rgb": rgb, "gray": np.ascontiguousarray(rgb[..., 1])}
    map_x, map_y = lens_maps(w, h)
    print(f"\nfloat32 kernels, uint8, {w}x{h} lens map, medians of {repeats} runs interleaved in one "
          "process; cpu = processor time of all threads\n")
    header = (f"{'case':<26}{'level':<8}{'float32 ms':>11}{'exact ms':>10}{'x exact':>9}{'x exact cpu':>13}"
              f"{'floor ms':>10}{'x floor':>9}{'recomputed':>12}")
    print(header)
    print("-" * len(header))
    with tempfile.TemporaryDirectory() as tmp:
        paths = {name: os.path.join(tmp, name + ".raw") for name in ("rgb", "gray", "map_x", "map_y")}
        for name, array in (*images.items(), ("map_x", map_x), ("map_y", map_y)):
            array.tofile(paths[name])
        for function, channels, f in FLOAT32_CASES:
            floor = copy_floor(map_x.nbytes + map_y.nbytes + images[channels].nbytes, repeats)
            lines = subprocess.run([timer, f, channels, paths[channels], paths["map_x"], paths["map_y"],
                                    str(w), str(h), str(repeats)], check=True, capture_output=True,
                                   text=True).stdout.split()
            rows = {}
            for i in range(0, len(lines), 5):
                level, wall, cpu, recomputed, pixels = lines[i:i + 5]
                rows[level] = float(wall), float(cpu), int(recomputed) / int(pixels)
            for level, (wall, cpu, share) in rows.items():
                if level.endswith("-exact"):
                    continue
                exact_wall, exact_cpu, _ = rows[level + "-exact"]
                print(f"{f'{function} {f}':<26}{level:<8}{wall * 1e3:>11.1f}{exact_wall * 1e3:>10.1f}"
                      f"{exact_wall / wall:>8.2f}x{exact_cpu / cpu:>12.2f}x{floor * 1e3:>10.2f}"
                      f"{wall / floor:>9.1f}{share * 100:>11.3f}%", flush=True)
    print("(a case a level has no float32 kernel for runs the exact one twice, recomputing nothing;"
          " gray Lanczos-3 and 16-bit calls have none: docs/performance.rst says why)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="960x540 instead of 3840x2160")
    parser.add_argument("--float32-timer", help="path of the resample_float32 executable")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    w, h = (960, 540) if args.quick else (3840, 2160)
    ours_repeats, peer_repeats = 7, 2
    if args.worker:
        return worker(w, h, ours_repeats)

    levels = cpu_levels()
    workers = {name: Level(name, ["--quick"] if args.quick else []) for name in levels}
    best = levels[-1]
    peer_names = ("SciPy", "skimage", "Pillow")
    header = (f"{'case':<30}{best + ' ms':>11}" + "".join(f"{name + ' x':>12}" for name in levels[1:])
              + f"{'floor ms':>10}{'x floor':>9}"
              + "".join(f"{name + ' speedup (ms)':>24}" for name in peer_names))
    print(f"trelvane resampling, {w}x{h} -> {w}x{h}, best of {ours_repeats} "
          f"(peers best of {peer_repeats}); level columns: speedup over baseline\n")
    print(header)
    print("-" * len(header))
    for function, dtype, ours, floor_bytes, peers in cases(w, h):
        floor = copy_floor(floor_bytes, ours_repeats)
        name = np.dtype(dtype).name
        for f in FILTERS:
            times = {level: workers[level].time("case", function, name, f) for level in levels}
            t = times[best]
            out = ours(f)
            cells = []
            for peer in peer_names:
                if f != "bilinear" or peer not in peers:
                    cells.append(f"{'-':>24}")
                    continue
                p, theirs = best_of(peers[peer], peer_repeats)
                check_close(out, theirs, f"{function} {name} vs {peer}")
                cells.append(f"{f'{p / t:.1f}x ({p * 1e3:.0f})':>24}")
            ratios = "".join(f"{times['baseline'] / times[level]:>11.2f}x" for level in levels[1:])
            case = f"{function} {name} {f}"
            print(f"{case:<30}{t * 1e3:>11.1f}{ratios}{floor * 1e3:>10.2f}{t / floor:>9.1f}"
                  + "".join(cells), flush=True)

    print(f"\ntiny images, uint8 RGB, microseconds per call (best level: {best})\n")
    print(f"{'case':<30}{'baseline us':>12}{best + ' us':>12}{'ratio':>8}")
    for side in TINY:
        for function in ("remap_rgb", "warp_rgb"):
            for f in FILTERS:
                base, fast = (workers[level].time("tiny", side, function, f) for level in ("baseline", best))
                print(f"{f'{function} {side}x{side} {f}':<30}{base * 1e6:>12.1f}{fast * 1e6:>12.1f}"
                      f"{base / fast:>7.2f}x", flush=True)
    for level in workers.values():
        level.close()
    if args.float32_timer:
        float32_table(args.float32_timer, w, h)


if __name__ == "__main__":
    main()
