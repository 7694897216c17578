"""The ``trelvane`` command: line segments, warps and remaps of image files.

    trelvane detect IMAGE... [--scale S] [--format txt|csv|json|svg] [-o FILE | --out-dir DIR]
    trelvane warp IMAGE -o OUT (--inverse H | --inverse-file FILE) [--scale S] [--offset X Y]
                  [--size W H] [--filter bilinear|lanczos3]
    trelvane remap IMAGE -o OUT --map-x X.npy --map-y Y.npy [--filter bilinear|lanczos3]

Image files are read and written with Pillow (the extra ``trelvane[cli]``);
files named ``*.npy`` are NumPy arrays and need no Pillow. Every output file
is written under a hidden temporary name in its folder and renamed when
complete. Exit status: 0 when every input succeeded, 1 when some failed, 2 for
a usage error, 130 when interrupted.
"""

import argparse
import base64
import contextlib
import csv
import io
import json
import os
import signal
import sys
import threading
import uuid
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from importlib import metadata
from pathlib import Path
from typing import IO, Any, TextIO

import numpy as np
from numpy.typing import NDArray

import trelvane

Samples = NDArray[Any]
Job = Callable[[threading.Event], None]

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
FORMATS = ("txt", "csv", "json", "svg")
# ITU-R BT.601 luma, applied to colour images in float64 on detect's 0-255 scale.
LUMA = np.array([0.299, 0.587, 0.114])
INSTALL_PILLOW = "trelvane: reading and writing images needs Pillow: pip install 'trelvane[cli]'"


class Failure(Exception):
    """Why one input failed, in words for its one-line report."""


class Interrupted(Exception):
    """The run was interrupted before this output was complete."""


# -- reading -----------------------------------------------------------------

def is_npy(path: str) -> bool:
    return path.lower().endswith(".npy")


def read_image(path: str) -> Samples:
    """The samples of an image file: (h, w) uint8, uint16 or float32, or
    (h, w, 3) uint8; a .npy file's array as it is."""
    samples: Samples
    if is_npy(path):
        samples = np.load(path, allow_pickle=False)
        return samples
    from PIL import Image
    with Image.open(path) as image:
        if image.mode in ("L", "F", "RGB"):
            samples = np.asarray(image)
        elif image.mode.startswith("I;16"):
            samples = np.asarray(image).astype(np.uint16)
        elif image.mode == "I":  # Pillow's mode for 16-bit PGM (and 32-bit integer TIFF)
            samples = np.asarray(image)
            if samples.size and (samples.min() < 0 or samples.max() > 65535):
                raise Failure("integer samples outside 0-65535 are not supported")
            samples = samples.astype(np.uint16)
        else:
            gray = image.mode in ("1", "LA", "La")  # alpha, if any, is dropped
            samples = np.asarray(image.convert("L" if gray else "RGB"))
    return samples


def to_gray(samples: Samples) -> Samples:
    """What detect reads: gray images as they are, colour ones through LUMA."""
    if samples.ndim != 3 or samples.shape[2] != 3:
        return samples
    gray: Samples = samples @ LUMA / (257.0 if samples.dtype == np.uint16 else 1.0)
    return gray


def load_map(path: str) -> Samples:
    coordinates: Samples = np.load(path, allow_pickle=False)
    if coordinates.ndim != 2 or coordinates.dtype != np.float32 or coordinates.size == 0:
        raise Failure(f"{path}: a coordinate map must be a non-empty 2-D float32 array, not "
                      f"{coordinates.dtype} of shape {coordinates.shape} (use astype(np.float32))")
    return coordinates


def numbers(text: str, origin: str) -> list[float]:
    """Numbers separated by commas or white space."""
    try:
        return [float(token) for token in text.replace(",", " ").split()]
    except ValueError as error:
        raise Failure(f"{origin}: {error}") from None


def inverse(args: argparse.Namespace) -> list[float]:
    if args.inverse is not None:
        return numbers(args.inverse, "--inverse")
    if is_npy(args.inverse_file):
        return [float(v) for v in np.load(args.inverse_file, allow_pickle=False).ravel()]
    return numbers(Path(args.inverse_file).read_text(), args.inverse_file)


# -- writing -----------------------------------------------------------------

@contextlib.contextmanager
def replaced_when_complete(path: str, stop: threading.Event) -> Iterator[IO[bytes]]:
    """A file written under a hidden temporary name beside path (".NAME.XXXXXXXX.part"),
    renamed to path once complete: an interrupted run never leaves a partial
    output under the final name. A kill that cannot be caught (SIGKILL) may
    leave the temporary file."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:8]}.part")
    try:
        with open(temporary, "xb") as file:
            yield file
        if stop.is_set():
            raise Interrupted()
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def image_format(path: str) -> str:
    """Pillow's format name for an output file's extension."""
    from PIL import Image
    extension = os.path.splitext(path)[1].lower()
    known = Image.registered_extensions()
    if extension not in known:
        raise Failure(f"{path}: no image format for the extension {extension!r} (or name it .npy)")
    return known[extension]


def write_image(path: str, samples: Samples, stop: threading.Event) -> None:
    if is_npy(path):
        with replaced_when_complete(path, stop) as file:
            np.save(file, samples)
        return
    from PIL import Image
    if samples.ndim == 3 and samples.dtype != np.uint8:
        raise Failure(f"{path}: Pillow cannot write 16-bit colour images: name the output .npy")
    picture = Image.fromarray(np.ascontiguousarray(samples))  # L, I;16 or RGB
    with replaced_when_complete(path, stop) as file:
        picture.save(file, format=image_format(path))


def png(samples: Samples) -> bytes:
    """The image as PNG, 16-bit gray kept; other types on an 8-bit 0-255 scale."""
    from PIL import Image
    if samples.dtype != np.uint8 and not (samples.ndim == 2 and samples.dtype == np.uint16):
        scaled = samples / (257.0 if samples.dtype == np.uint16 else 1.0)
        samples = np.clip(np.round(scaled), 0, 255).astype(np.uint8)
    out = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(samples)).save(out, format="PNG")
    return out.getvalue()


def write_txt(out: TextIO, segments: list[trelvane.Segment], _: Samples) -> None:
    # repr gives the shortest text that reads back as the same float64.
    for s in segments:
        out.write(" ".join(repr(getattr(s, field)) for field in FIELDS) + "\n")


def write_csv(out: TextIO, segments: list[trelvane.Segment], _: Samples) -> None:
    rows = csv.writer(out, lineterminator="\n")
    rows.writerow(FIELDS)
    rows.writerows([repr(getattr(s, field)) for field in FIELDS] for s in segments)


def write_json(out: TextIO, segments: list[trelvane.Segment], _: Samples) -> None:
    records = [json.dumps({field: getattr(s, field) for field in FIELDS + ("angle", "length")})
               for s in segments]
    out.write("[\n" + ",\n".join(records) + ("\n]\n" if records else "]\n"))


def write_svg(out: TextIO, segments: list[trelvane.Segment], samples: Samples) -> None:
    height, width = samples.shape[:2]
    out.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
              f'viewBox="0 0 {width} {height}">\n<image width="{width}" height="{height}" '
              'style="image-rendering:pixelated" href="data:image/png;base64,')
    out.write(base64.b64encode(png(samples)).decode("ascii"))
    out.write('"/>\n<g stroke="red" stroke-width="1" stroke-linecap="round">\n')
    # detect puts pixel centres on integers; SVG puts pixel (0, 0) on [0, 1] x [0, 1].
    for s in segments:
        out.write(f'<line x1="{s.x1 + 0.5!r}" y1="{s.y1 + 0.5!r}" '
                  f'x2="{s.x2 + 0.5!r}" y2="{s.y2 + 0.5!r}"/>\n')
    out.write("</g>\n</svg>\n")


WRITERS = {"txt": write_txt, "csv": write_csv, "json": write_json, "svg": write_svg}


# -- the commands ------------------------------------------------------------

def detect_job(source: str, target: str | None, scale: float, form: str) -> Job:
    def work(stop: threading.Event) -> None:
        samples = read_image(source)
        segments = trelvane.detect(to_gray(samples), scale)
        if target is None:
            try:
                WRITERS[form](sys.stdout, segments, samples)
                sys.stdout.flush()
            except BrokenPipeError:
                # The reader stopped early (`| head`): the rest is not wanted,
                # and the interpreter's last flush must not fail again.
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return
        with replaced_when_complete(target, stop) as file, \
                io.TextIOWrapper(file, encoding="utf-8", newline="") as text:
            WRITERS[form](text, segments, samples)
    return work


def warp_job(args: argparse.Namespace) -> Job:
    def work(stop: threading.Event) -> None:
        matrix = inverse(args)
        src = read_image(args.image)
        gray = src.ndim == 2  # warped through the RGB path, every channel alike
        rgb = np.repeat(src[:, :, np.newaxis], 3, axis=2) if gray else src
        off_x, off_y = args.offset
        out = trelvane.warp_rgb(rgb, matrix, args.scale, off_x, off_y, filter=args.filter,
                                out_size=None if args.size is None else tuple(args.size))
        write_image(args.output, out[:, :, 0] if gray else out, stop)
    return work


def remap_job(args: argparse.Namespace) -> Job:
    def work(stop: threading.Event) -> None:
        map_x, map_y = load_map(args.map_x), load_map(args.map_y)
        src = read_image(args.image)
        remap = trelvane.remap_rgb if src.ndim == 3 else trelvane.remap_gray
        write_image(args.output, remap(src, map_x, map_y, args.filter), stop)
    return work


def reason(error: BaseException, name: str) -> str:
    """One line: the error's message (the module's own where it has one) and notes."""
    if isinstance(error, OSError) and error.strerror:
        text = error.strerror if error.filename in (None, name) else f"{error.filename}: {error.strerror}"
    else:
        text = str(error) or type(error).__name__
    notes = [f"({note})" for note in getattr(error, "__notes__", [])]
    return " ".join([text, *notes]).replace("\n", " ")


def progress_bar(total: int) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, file=sys.stderr, unit="image")


def run(jobs: list[tuple[str, Job]], threads: int, show_progress: bool) -> int:
    """Runs the jobs on a thread pool; one line per failure on standard error."""
    stop = threading.Event()
    bar = progress_bar(len(jobs)) if show_progress else None

    def report(line: str) -> None:
        (bar.write if bar is not None else print)(line, file=sys.stderr)

    failed = 0
    with ThreadPoolExecutor(threads) as pool:
        futures = {pool.submit(work, stop): name for name, work in jobs}
        try:
            for future in as_completed(futures):
                if (error := future.exception()) is not None:
                    failed += 1
                    report(f"trelvane: {futures[future]}: {reason(error, futures[future])}")
                if bar is not None:
                    bar.update()
        except KeyboardInterrupt:
            stop.set()  # running jobs finish their computation but write nothing more
            pool.shutdown(cancel_futures=True)
            report("trelvane: interrupted")
            return 130
        finally:
            if bar is not None:
                bar.close()
    if failed and len(jobs) > 1:
        report(f"trelvane: {failed} of {len(jobs)} inputs failed")
    return 1 if failed else 0


def detect_jobs(args: argparse.Namespace) -> list[tuple[str, Job]]:
    """One job per input, writing to its file or, for a single input without
    -o, to standard output."""
    if args.out_dir is None:
        if len(args.images) > 1:
            args.command_parser.error("several inputs need --out-dir")
        return [(args.images[0], detect_job(args.images[0], args.output, args.scale, args.format))]
    targets: dict[str, str] = {}
    for image in args.images:
        target = os.path.join(args.out_dir, f"{Path(image).stem}.{args.format}")
        if target in targets:
            args.command_parser.error(f"{targets[target]} and {image} would both write {target}")
        targets[target] = image
    os.makedirs(args.out_dir, exist_ok=True)
    return [(image, detect_job(image, target, args.scale, args.format))
            for target, image in targets.items()]


def cap_pool(workers: int) -> None:
    """Caps each call's share of trelvane's own pool so that `workers` calls at
    once do not oversubscribe the machine. The pool reads the variable once, at
    the first call; a value the user set is kept."""
    processors = os.process_cpu_count() or 1
    os.environ.setdefault("TRELVANE_NUM_THREADS", str(max(1, processors // workers)))


def needs_pillow(args: argparse.Namespace) -> bool:
    if args.command == "detect":
        return args.format == "svg" or not all(map(is_npy, args.images))
    return not (is_npy(args.image) and is_npy(args.output))


def version() -> str:
    try:
        return metadata.version("trelvane")
    except metadata.PackageNotFoundError:
        return "unknown (not installed)"


def main(argv: Sequence[str] | None = None) -> int:
    args = command_line().parse_args(argv)
    if args.command == "detect" and args.format is None:
        output = args.output or ""
        args.format = next((f for f in FORMATS if output.endswith("." + f)), "txt")
    if needs_pillow(args):
        try:
            import PIL.Image  # noqa: F401
        except ImportError:
            print(INSTALL_PILLOW, file=sys.stderr)
            return 1
    if args.command == "detect":
        jobs = detect_jobs(args)
        threads = max(1, min(args.threads, len(jobs)))
        cap_pool(threads)
        progress = len(jobs) > 1 and not args.quiet and sys.stderr.isatty()
    else:
        if not is_npy(args.output):
            try:
                image_format(args.output)
            except Failure as error:
                args.command_parser.error(str(error))
        jobs = [(args.image, (warp_job if args.command == "warp" else remap_job)(args))]
        threads, progress = 1, False
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler)  # a kill cleans up like Ctrl-C
    try:
        return run(jobs, threads, progress)
    finally:
        signal.signal(signal.SIGTERM, previous)


# -- the command line --------------------------------------------------------

def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


DETECT_EXAMPLES = """\
examples:
  trelvane detect photo.png                     one segment per line on standard output
  trelvane detect photo.png -o photo.svg        the segments drawn over the image
  trelvane detect scans/*.tif --format csv --out-dir segments/

formats (one segment per line or record, longest first; coordinates in input
pixels, integer values on pixel centres):
  txt   x1 y1 x2 y2 width precision log_nfa, space-separated, no header
  csv   the same columns, with a header line
  json  a list of objects with those seven fields and angle and length
  svg   the image, embedded, with every segment drawn over it in red

Colour images are read as gray = 0.299 R + 0.587 G + 0.114 B (ITU-R BT.601),
in float64 without rounding; 16-bit images stay 16-bit."""

WARP_EXAMPLES = """\
example:
  trelvane warp photo.jpg -o view.png --inverse 0.6,0.1,20,0,0.7,10,0,0.0004,1 --size 800 600

Output pixel (c, r) is the plane point (c / scale + X, r / scale + Y); the
inverse homography (row-major h11,h12,...,h33) takes it into the source
image, in pixel-centre coordinates. Gray images are warped through the RGB
path and stay gray; 16-bit images stay 16-bit (16-bit colour only as .npy)."""

REMAP_EXAMPLE = """\
example:
  trelvane remap photo.png -o wavy.png --map-x x.npy --map-y y.npy --filter lanczos3

Output pixel (x, y) takes the source position (X[y, x], Y[y, x]); the maps
are 2-D float32 .npy files of the output's shape, integer positions on pixel
centres. Gray or RGB by the image's mode; 16-bit images stay 16-bit."""


def command_line() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="trelvane", formatter_class=raw,
        description="Line segments, perspective warps and coordinate-map remaps of image files.",
        epilog="Exit status: 0 when every input succeeded, 1 when some failed, 2 for a usage "
               "error.\nEach command has its own --help with examples.")
    parser.add_argument("--version", action="version", version=f"trelvane {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    detect = commands.add_parser("detect", help="find the line segments of images",
                                 description="Find the validated line segments of images.",
                                 epilog=DETECT_EXAMPLES, formatter_class=raw)
    detect.set_defaults(command_parser=detect)
    detect.add_argument("images", nargs="+", metavar="IMAGE")
    detect.add_argument("--scale", type=float, default=0.8,
                        help="detect's scale: below 1 the image is blurred and downsampled first "
                             "(default 0.8; 1 for sub-pixel work)")
    detect.add_argument("--format", choices=FORMATS,
                        help="output format (default: from the -o file's extension, else txt)")
    where = detect.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="FILE",
                       help="the output file of a single input (default: standard output)")
    where.add_argument("--out-dir", metavar="DIR",
                       help="a folder for one output per input, named after it (IMAGE's stem.FORMAT)")
    detect.add_argument("--threads", type=positive_int, default=os.process_cpu_count() or 1,
                        help="images processed at once (default: the number of processors); "
                             "each call's own worker threads are capped to processors / N "
                             "unless TRELVANE_NUM_THREADS is set")
    detect.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    warp = commands.add_parser("warp", help="warp an image through an inverse homography",
                               description="Perspective-warp an image through an inverse homography.",
                               epilog=WARP_EXAMPLES, formatter_class=raw)
    resampling_arguments(warp)
    matrix = warp.add_mutually_exclusive_group(required=True)
    matrix.add_argument("--inverse", metavar="h11,h12,...,h33",
                        help="the 3x3 matrix from output plane to source, nine numbers")
    matrix.add_argument("--inverse-file", metavar="FILE",
                        help="the same nine numbers in a text file, or a .npy array")
    warp.add_argument("--scale", type=float, default=1.0, help="output pixels per plane unit (default 1)")
    warp.add_argument("--offset", type=float, nargs=2, default=(0.0, 0.0), metavar=("X", "Y"),
                      help="the plane point of output pixel (0, 0) (default 0 0)")
    warp.add_argument("--size", type=positive_int, nargs=2, metavar=("W", "H"),
                      help="output width and height (default: the source's)")

    remap = commands.add_parser("remap", help="resample an image through coordinate maps",
                                description="Resample an image through two coordinate maps.",
                                epilog=REMAP_EXAMPLE, formatter_class=raw)
    resampling_arguments(remap)
    remap.add_argument("--map-x", required=True, metavar="X.npy", help="source x per output pixel")
    remap.add_argument("--map-y", required=True, metavar="Y.npy", help="source y per output pixel")
    return parser


def resampling_arguments(command: argparse.ArgumentParser) -> None:
    command.set_defaults(command_parser=command)
    command.add_argument("image", metavar="IMAGE")
    command.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="the output image (any format Pillow writes, or .npy)")
    command.add_argument("--filter", choices=("bilinear", "lanczos3"), default="bilinear",
                         help="interpolation filter (default bilinear)")


if __name__ == "__main__":
    sys.exit(main())
