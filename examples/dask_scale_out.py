"""Scaling out with Dask
=====================

Scale trelvane out with Dask: a large image in blocks, many images on a
cluster of worker processes, and a tiled ``detect`` on the sampling grid.

Run it with::

    python examples/dask_scale_out.py [--size 4096] [--images 16] [--out dask_scale_out.png]

1. ``dask.array.map_blocks`` resamples a large image block by block. Pass ``meta=``:
   Dask otherwise probes the function with empty stand-in arrays, which
   trelvane rejects (a ``TypeError``; maps with zero columns would even be an
   internal error, ``PanicException``).
2. A ``dask.distributed.LocalCluster`` runs ``detect`` on many images in worker
   processes. ``Segment`` objects cannot be pickled, so each task returns its
   segments as an (N, 7) float64 array (x1, y1, x2, y2, width, precision,
   log_nfa).
3. ``detect`` on tiles of a large image, with ``dask.delayed``. At a scale below 1
   the tiles must start on the sampling grid (working pixel i samples source
   pixel floor(i / scale)): at scale 0.8 every 5 pixels. Tiles starting
   anywhere else sample different pixels and find different segments.

Worker processes each have their own trelvane worker pool; with one task per
processor, set ``TRELVANE_NUM_THREADS=1`` in their environment so that the pools
do not compete.
"""

import argparse
from fractions import Fraction
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import skimage.color
import skimage.data
from dask.distributed import Client, LocalCluster
from numpy.typing import NDArray
from PIL import Image, ImageDraw

import trelvane

SCALE = 0.8
Table = NDArray[np.float64]  # (N, 7) segments


def segment_table(gray: NDArray[np.uint8], scale: float = SCALE) -> Table:
    """detect's result as a picklable (N, 7) float64 array."""
    rows = [[s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa] for s in trelvane.detect(gray, scale)]
    return np.array(rows, np.float64).reshape(-1, 7)


def large_gray(size: int) -> NDArray[np.uint8]:
    """The camera photo enlarged to size x size (Lanczos-3), one channel."""
    camera = np.repeat(skimage.data.camera()[:, :, None], 3, axis=2)
    scale = size / camera.shape[0]
    off = 0.5 / scale - 0.5
    big = trelvane.warp_rgb(camera, [1, 0, 0, 0, 1, 0, 0, 0, 1], scale, off, off, "lanczos3", (size, size))
    return np.ascontiguousarray(big[:, :, 0])


# 1. ------------------------------------------------------------ map_blocks

def swirled(gray: NDArray[np.uint8], block: int) -> NDArray[np.uint8]:
    """A swirl about the centre, computed block by block from lazy maps."""
    h, w = gray.shape
    y, x = da.meshgrid(da.arange(h, chunks=block, dtype=np.float64),
                       da.arange(w, chunks=block, dtype=np.float64), indexing="ij")
    dx, dy = x - w / 2, y - h / 2
    angle = 3 * da.exp(-da.hypot(dx, dy) / (w / 6))
    map_x = (w / 2 + da.cos(angle) * dx - da.sin(angle) * dy).astype(np.float32)
    map_y = (h / 2 + da.sin(angle) * dx + da.cos(angle) * dy).astype(np.float32)

    def remap(mx: NDArray[np.float32], my: NDArray[np.float32]) -> NDArray[np.uint8]:
        return trelvane.remap_gray(gray, mx, my, filter="lanczos3")

    lazy = da.map_blocks(remap, map_x, map_y, dtype=np.uint8, meta=np.empty((0, 0), np.uint8))
    return np.asarray(lazy.compute(scheduler="threads"))


# 2. ------------------------------------------------------------ LocalCluster

def many_images(count: int, size: int, processes: bool) -> list[Table]:
    """Segments of count photos on a LocalCluster of two worker processes."""
    names = ["astronaut", "camera", "coffee", "rocket", "brick", "page"]
    images = []
    for i in range(count):
        photo = getattr(skimage.data, names[i % len(names)])()
        gray = photo if photo.ndim == 2 else np.round(skimage.color.rgb2gray(photo) * 255).astype(np.uint8)
        images.append(np.ascontiguousarray(gray[:size, :size]))
    env = {"TRELVANE_NUM_THREADS": "1"}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": env}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=processes,
                         dashboard_address=None) as cluster, Client(cluster) as client:
        futures = client.map(segment_table, images)
        tables: list[Table] = client.gather(futures)
    assert all(np.array_equal(t, segment_table(g)) for t, g in zip(tables, images))
    return tables


# 3. ------------------------------------------------------------ tiles

def grid_period(scale: float) -> int:
    """Source pixels per repetition of the sampling grid: q for scale p / q."""
    return 1 if scale >= 1 else Fraction(scale).limit_denominator(1000).denominator


def tiled_detect(gray: NDArray[np.uint8], tile: int, margin: int, scale: float, on_grid: bool = True) -> Table:
    """detect on tiles overlapping by margin, one dask.delayed task each. A
    segment is kept by the tile whose core (the tile without its margins)
    holds its middle. on_grid moves each tile's origin back onto the
    sampling grid."""
    period = grid_period(scale) if on_grid else 1
    step = tile - tile % period
    tasks, cores = [], []
    for y in range(0, gray.shape[0], step):
        for x in range(0, gray.shape[1], step):
            x0, y0 = max(x - margin, 0), max(y - margin, 0)
            x0, y0 = x0 - x0 % period, y0 - y0 % period
            tasks.append(dask.delayed(segment_table)(gray[y0:y + step + margin, x0:x + step + margin], scale))
            cores.append((x0, y0, x, y))
    found = []
    for table, (x0, y0, x, y) in zip(dask.compute(*tasks, scheduler="threads"), cores):
        table = table + [x0, y0, x0, y0, 0, 0, 0]  # back to whole-image coordinates
        mx, my = (table[:, 0] + table[:, 2]) / 2, (table[:, 1] + table[:, 3]) / 2
        found.append(table[(mx >= x) & (mx < x + step) & (my >= y) & (my < y + step)])
    return np.vstack(found)


def matching(a: Table, b: Table, tolerance: float = 1e-6) -> float:
    """Share of the segments of a found in b with the same end points."""
    if len(a) == 0:
        return 1.0
    ends_b = b[:, :4]
    hits = [np.abs(ends_b - row[:4]).max(axis=1).min() < tolerance if len(b) else False for row in a]
    return float(np.mean(hits))


def main(argv: list[str] | None = None) -> dict[str, float]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=4096, help="side of the large image")
    parser.add_argument("--images", type=int, default=16, help="images for the cluster")
    parser.add_argument("--threads-only", action="store_true",
                        help="a LocalCluster of threads instead of processes")
    parser.add_argument("--out", type=Path, default=Path("dask_scale_out.png"))
    args = parser.parse_args(argv)

    gray = large_gray(args.size)
    swirl = swirled(gray, block=max(64, args.size // 4))
    print(f"map_blocks: swirled a {args.size}^2 image in blocks of {max(64, args.size // 4)}")

    tables = many_images(args.images, min(512, args.size), processes=not args.threads_only)
    print(f"LocalCluster: {sum(len(t) for t in tables)} segments in {len(tables)} images")

    tile, margin = args.size // 4, 40
    whole = segment_table(gray)
    on_grid = matching(whole, tiled_detect(gray, tile, margin, SCALE))
    off_grid = matching(whole, tiled_detect(gray, tile, margin, SCALE, on_grid=False))
    print(f"tiles of {tile}, margin {margin}, scale {SCALE}: {on_grid:.0%} of the whole-image "
          f"segments found exactly on the sampling grid, {off_grid:.0%} off it")

    # The swirl, and the tiled segments over the large image, both reduced.
    step = max(1, args.size // 512)
    canvas = Image.fromarray(np.hstack([swirl[::step, ::step], gray[::step, ::step] // 2 + 64])).convert("RGB")
    draw = ImageDraw.Draw(canvas)
    offset = swirl[::step, ::step].shape[1]
    for x1, y1, x2, y2, *_ in tiled_detect(gray, tile, margin, SCALE):
        draw.line([(offset + x1 / step, y1 / step), (offset + x2 / step, y2 / step)], fill=(255, 40, 40))
    canvas.save(args.out)
    print(args.out)
    return {"on_grid": on_grid, "off_grid": off_grid}


if __name__ == "__main__":
    main()
