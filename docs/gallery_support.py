"""How sphinx-gallery runs the examples: their command lines, and the pictures
they write (PNG files, not Matplotlib figures) collected onto their pages."""

import shutil
from pathlib import Path

from sphinx_gallery.scrapers import figure_rst

# Where the examples write their pictures while the gallery runs them.
PICTURES = Path(__file__).resolve().parent.parent / "build" / "gallery-pictures"
# Sizes that keep the documentation build short.
SIZES = {"undistort": ["--size", "1920x1080"], "batch_threads": ["--images", "16"],
         "dask_scale_out": ["--size", "2048", "--images", "8"]}


def example_arguments(gallery_conf, script_vars):
    """The arguments an example runs with: its sizes, and its picture into PICTURES."""
    name = Path(script_vars["src_file"]).stem
    PICTURES.mkdir(parents=True, exist_ok=True)
    return SIZES.get(name, []) + ["--out", str(PICTURES / f"{name}.png")]


def written_pictures(block, block_vars, gallery_conf):
    """The image scraper: the PNG files written into PICTURES since the last
    call, moved to where the gallery keeps its images."""
    written = sorted(PICTURES.glob("*.png"))
    targets = [next(block_vars["image_path_iterator"]) for _ in written]
    for source, target in zip(written, targets):
        shutil.move(source, target)
    return figure_rst(targets, gallery_conf["src_dir"])
