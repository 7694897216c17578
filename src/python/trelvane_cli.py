"""The ``trelvane`` command: line segments, warps and remaps of image files.

    trelvane detect IMAGE... [--scale S] [--format txt|csv|json|svg] [-o FILE | --out-dir DIR]
    trelvane warp IMAGE -o OUT (--inverse H | --inverse-file FILE) [--scale S] [--offset X Y]
                  [--size W H] [--filter bilinear|lanczos3]
    trelvane remap IMAGE -o OUT --map-x X.npy --map-y Y.npy [--filter bilinear|lanczos3]

Image files are read and written with Pillow (the extra ``trelvane[cli]``);
files named ``*.npy`` are NumPy arrays and need no Pillow; ``-`` is standard
input or output. Every output file is written under a hidden temporary name
in its folder and renamed when complete. Mistakes in the arguments (numbers
that are not finite, a scale that is not positive, a singular homography, an
unknown output extension, an output larger than the memory, an output folder
that cannot be written) are usage errors, found before any input is read.
The exit statuses are listed in EXIT_STATUS, which every --help shows.
"""

import argparse
import base64
import contextlib
import csv
import io
import json
import math
import os
import signal
import sys
import threading
import tomllib
import uuid
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata
from pathlib import Path
from typing import IO, Any, NoReturn, TextIO

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
STDIO = "-"  # standard input as IMAGE, standard output as -o
EXIT_STATUS = """\
exit status:
  0    every input succeeded
  1    some inputs failed (one line each, then how many), or Pillow is missing
  2    a usage error, found before any input is read
  130  interrupted (SIGINT, Ctrl-C)
  143  terminated (SIGTERM)"""


class Failure(Exception):
    """Why one input failed, in words for its one-line report."""


class Interrupted(Exception):
    """The run was interrupted before this output was complete."""


class Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM arrived; the exit status is 128 + the signal's number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# -- reading -----------------------------------------------------------------

def is_npy(path: str) -> bool:
    return path.lower().endswith(".npy")


def read_image(path: str) -> Samples:
    """The samples of an image file (or of standard input, for "-"): (h, w)
    uint8, uint16 or float32, or (h, w, 3) uint8; a .npy file's array as it is."""
    source: str | IO[bytes] = path
    numpy_file = is_npy(path)
    if path == STDIO:
        data = sys.stdin.buffer.read()
        if not data:
            raise Failure("standard input is empty")
        source, numpy_file = io.BytesIO(data), data.startswith(np.lib.format.MAGIC_PREFIX)
    samples: Samples
    if numpy_file:
        samples = np.load(source, allow_pickle=False)
        return samples
    from PIL import Image, UnidentifiedImageError
    try:
        opened = Image.open(source)
    except UnidentifiedImageError:
        if path != STDIO:
            raise
        # Pillow's own message would name an in-memory object, not the input.
        raise Failure("standard input holds no image Pillow reads, nor a .npy array") from None
    with opened as image:
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


def load_map(path: str, option: str) -> Samples:
    """The coordinate map in the .npy file path, given as option; failures
    name the map's file, not the image."""
    with open(path, "rb") as file:
        if file.read(len(np.lib.format.MAGIC_PREFIX)) != np.lib.format.MAGIC_PREFIX:
            raise Failure(f"{path}: not a .npy file ({option} takes an array saved with np.save)")
        file.seek(0)
        try:
            coordinates: Samples = np.load(file, allow_pickle=False)
        except ValueError as error:  # a damaged header, or an array of objects
            raise Failure(f"{path}: {error}") from None
    found = f"{coordinates.dtype} of shape {coordinates.shape}"
    if coordinates.ndim != 2:
        raise Failure(f"{path}: a coordinate map must be a 2-D array, not {found}")
    if coordinates.dtype != np.float32:
        raise Failure(f"{path}: a coordinate map must be float32, not {found} (use astype(np.float32))")
    if coordinates.size == 0:
        raise Failure(f"{path}: a coordinate map must not be empty, not {found}")
    return coordinates


# -- writing -----------------------------------------------------------------

@contextlib.contextmanager
def replaced_when_complete(path: str, stop: threading.Event) -> Iterator[IO[bytes]]:
    """A file written under a hidden temporary name beside path (".NAME.XXXXXXXX.part"),
    renamed to path once complete: an interrupted run never leaves a partial
    output under the final name. A kill that cannot be caught (SIGKILL) may
    leave the temporary file. Errors name path, never the temporary file."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:8]}.part")
    try:
        with open(temporary, "xb") as file:
            yield file
        if stop.is_set():
            raise Interrupted()
        os.replace(temporary, path)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError) and error.filename == temporary:
            raise OSError(error.errno, error.strerror, path) from None
        raise


def to_standard_output(write: Callable[[], None]) -> None:
    try:
        write()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (`| head`): the rest is not wanted, and the
        # interpreter's last flush must not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def image_format(path: str) -> str:
    """Pillow's format name for an output file's extension."""
    from PIL import Image
    extension = os.path.splitext(path)[1].lower()
    format_name = Image.registered_extensions().get(extension)
    if format_name not in Image.SAVE:
        raise Failure(f"{path}: no image format writes the extension {extension!r}: "
                      "name it .png, .tif, .jpg or another extension Pillow writes, or .npy")
    return format_name


def write_image(path: str, samples: Samples, stop: threading.Event) -> None:
    """Writes samples to path, in the format of its extension; "-" writes PNG
    to standard output."""
    if is_npy(path):
        with replaced_when_complete(path, stop) as file:
            np.save(file, samples)
        return
    from PIL import Image
    if samples.ndim == 3 and samples.dtype != np.uint8:
        raise Failure(f"{path}: Pillow cannot write 16-bit colour images: name the output .npy")
    picture = Image.fromarray(np.ascontiguousarray(samples))  # L, I;16 or RGB
    if path == STDIO:
        to_standard_output(lambda: picture.save(sys.stdout.buffer, format="PNG"))
        return
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
    out.write('"/>\n<defs><g id="segments">\n')
    # detect puts pixel centres on integers; SVG puts pixel (0, 0) on [0, 1] x [0, 1].
    for s in segments:
        out.write(f'<line x1="{s.x1 + 0.5!r}" y1="{s.y1 + 0.5!r}" '
                  f'x2="{s.x2 + 0.5!r}" y2="{s.y2 + 0.5!r}"/>\n')
    # Drawn twice: a dark outline under the red stroke keeps the segments
    # visible on red, white and black alike.
    out.write('</g></defs>\n<g stroke-linecap="round">\n'
              '<use href="#segments" stroke="black" stroke-opacity="0.7" stroke-width="2"/>\n'
              '<use href="#segments" stroke="red" stroke-width="1"/>\n</g>\n</svg>\n')


WRITERS = {"txt": write_txt, "csv": write_csv, "json": write_json, "svg": write_svg}


# -- the jobs ----------------------------------------------------------------

def detect_job(source: str, target: str, scale: float, form: str) -> Job:
    def work(stop: threading.Event) -> None:
        samples = read_image(source)
        segments = trelvane.detect(to_gray(samples), scale)
        if target == STDIO:
            to_standard_output(lambda: WRITERS[form](sys.stdout, segments, samples))
            return
        with replaced_when_complete(target, stop) as file, \
                io.TextIOWrapper(file, encoding="utf-8", newline="") as text:
            WRITERS[form](text, segments, samples)
    return work


def warp_job(args: argparse.Namespace) -> Job:
    def work(stop: threading.Event) -> None:
        src = read_image(args.image)
        gray = src.ndim == 2  # warped through the RGB path, every channel alike
        rgb = np.repeat(src[:, :, np.newaxis], 3, axis=2) if gray else src
        off_x, off_y = args.offset
        out = trelvane.warp_rgb(rgb, args.inverse, args.scale, off_x, off_y, filter=args.filter,
                                out_size=None if args.size is None else tuple(args.size))
        write_image(args.output, out[:, :, 0] if gray else out, stop)
    return work


def remap_job(args: argparse.Namespace) -> Job:
    def work(stop: threading.Event) -> None:
        map_x, map_y = load_map(args.map_x, "--map-x"), load_map(args.map_y, "--map-y")
        src = read_image(args.image)
        remap = trelvane.remap_rgb if src.ndim == 3 else trelvane.remap_gray
        write_image(args.output, remap(src, map_x, map_y, args.filter), stop)
    return work


def reason(error: BaseException, name: str) -> str:
    """One line: the error's message (the module's own where it has one) and notes."""
    if isinstance(error, OSError) and error.strerror:
        text = error.strerror if error.filename in (None, name) else f"{error.filename}: {error.strerror}"
    elif isinstance(error, MemoryError) and not str(error):
        text = "not enough memory"
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
    """Runs the jobs on a thread pool; one line per failure on standard error,
    in the order of the inputs."""
    stop = threading.Event()
    bar = progress_bar(len(jobs)) if show_progress else None

    def report(line: str) -> None:
        (bar.write if bar is not None else print)(line, file=sys.stderr)

    failed = 0
    with ThreadPoolExecutor(threads) as pool:
        futures = [(name, pool.submit(work, stop)) for name, work in jobs]
        try:
            for name, future in futures:
                if (error := future.exception()) is not None:
                    failed += 1
                    report(f"trelvane: {name}: {reason(error, name)}")
                if bar is not None:
                    bar.update()
        except KeyboardInterrupt:
            stop.set()  # running jobs finish their computation but write nothing more
            pool.shutdown(cancel_futures=True)
            raise
        finally:
            if bar is not None:
                bar.close()
    if failed and len(jobs) > 1:
        report(f"trelvane: {failed} of {len(jobs)} inputs failed")
    return 1 if failed else 0


# -- checks made before any work --------------------------------------------

def writable_folder(parser: argparse.ArgumentParser, folder: str, named: str) -> None:
    """Refuses an output folder that is missing or cannot be written, naming
    what the user typed."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        parser.error(f"{named}: {folder} is not a folder")
    if not os.path.isdir(folder):
        parser.error(f"{named}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        parser.error(f"{named}: the folder {folder} is not writable")


def output_file(parser: argparse.ArgumentParser, path: str) -> None:
    if path == STDIO:
        return
    if os.path.isdir(path):
        parser.error(f"{path}: a folder, not an output file")
    writable_folder(parser, os.path.dirname(path) or ".", path)


def detect_format(args: argparse.Namespace) -> str:
    """--format, else the -o file's extension, else txt."""
    if args.format is not None:
        return str(args.format)
    extension = os.path.splitext(args.output or "")[1].lower()
    if extension[1:] in FORMATS or not extension:
        return extension[1:] or "txt"
    parser: argparse.ArgumentParser = args.command_parser
    parser.error(f"{args.output}: no output format has the extension {extension!r}: "
                 f"name it .{', .'.join(FORMATS)}, or give --format")


def detect_targets(args: argparse.Namespace, form: str) -> list[tuple[str, str]]:
    """Each input with its output: its file under --out-dir, else -o's
    (standard output without -o), in the order of the inputs."""
    parser = args.command_parser
    if args.images.count(STDIO) > 1:
        parser.error("standard input (-) can be read only once")
    if args.out_dir is None:
        if len(args.images) > 1:
            parser.error("several inputs need --out-dir")
        output_file(parser, args.output or STDIO)
        return [(args.images[0], args.output or STDIO)]
    sources: dict[str, str] = {}
    for image in args.images:
        stem = "stdin" if image == STDIO else Path(image).stem
        target = os.path.join(args.out_dir, f"{stem}.{form}")
        if target in sources:
            parser.error(f"{sources[target]} and {image} would both write {target}")
        sources[target] = image
    try:
        os.makedirs(args.out_dir, exist_ok=True)
    except OSError as error:
        parser.error(f"--out-dir {args.out_dir}: {error.strerror}")
    writable_folder(parser, args.out_dir, f"--out-dir {args.out_dir}")
    return [(image, target) for target, image in sources.items()]


def physical_memory() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):  # no sysconf, or not these names
        return None


def sample_bytes(path: str) -> int:
    """The bytes of one output sample for the image at path, from its header
    alone: 2 for 16-bit images, else 1. 1 where the header cannot be read
    here (standard input, a missing or unreadable file: the job reports it)."""
    if path == STDIO:
        return 1
    try:
        if is_npy(path):
            return 2 if np.load(path, mmap_mode="r", allow_pickle=False).dtype == np.uint16 else 1
        from PIL import Image
        with Image.open(path) as image:
            return 2 if image.mode.startswith("I;16") or image.mode == "I" else 1
    except (OSError, ValueError, EOFError, ImportError):  # the job reports it
        return 1


def fits_in_memory(args: argparse.Namespace) -> None:
    """Refuses a --size whose output alone would not fit in the machine's
    memory: the computation would only end in MemoryError, or in swapping."""
    memory = physical_memory()
    if args.size is None or memory is None:
        return
    width, height = args.size
    needed = width * height * 3 * sample_bytes(args.image)  # an RGB result of the source's samples
    if needed > memory:
        args.command_parser.error(f"--size {width} {height}: the output takes at least {needed} bytes, "
                                  f"more than this machine's {memory} bytes of memory")


def image_output(args: argparse.Namespace) -> None:
    output_file(args.command_parser, args.output)
    if args.output == STDIO and sys.stdout.isatty():
        args.command_parser.error("-o -: standard output is a terminal: send the PNG to a file or a pipe")
    if args.output != STDIO and not is_npy(args.output):
        try:
            image_format(args.output)
        except Failure as error:
            args.command_parser.error(str(error))


# -- the commands ------------------------------------------------------------

def cap_pool(workers: int) -> None:
    """Caps each call's share of trelvane's own pool so that `workers` calls at
    once do not oversubscribe the machine. The pool reads the variable once, at
    the first call; a value the user set is kept."""
    processors = os.process_cpu_count() or 1
    os.environ.setdefault("TRELVANE_NUM_THREADS", str(max(1, processors // workers)))


def detect_command(args: argparse.Namespace) -> int:
    form = detect_format(args)
    targets = detect_targets(args, form)
    jobs = [(image, detect_job(image, target, args.scale, form)) for image, target in targets]
    threads = max(1, min(args.threads, len(jobs)))
    cap_pool(threads)
    return run(jobs, threads, len(jobs) > 1 and not args.quiet and sys.stderr.isatty())


def warp_command(args: argparse.Namespace) -> int:
    fits_in_memory(args)
    image_output(args)
    return run([(args.image, warp_job(args))], 1, False)


def remap_command(args: argparse.Namespace) -> int:
    image_output(args)
    return run([(args.image, remap_job(args))], 1, False)


def needs_pillow(args: argparse.Namespace) -> bool:
    if args.func is detect_command:
        return args.format == "svg" or (args.output or "").lower().endswith(".svg") \
            or not all(map(is_npy, args.images))
    return not (is_npy(args.image) and is_npy(args.output))


def version() -> str:
    """The installed version, or in a checkout (this file in src/python) the
    version its pyproject.toml gives, marked as such."""
    here = Path(__file__).resolve().parent
    project = here.parents[1] / "pyproject.toml"
    if here.parts[-2:] == ("src", "python") and project.is_file():
        with project.open("rb") as file:
            return f"{tomllib.load(file)['project']['version']} (checkout)"
    try:
        return metadata.version("trelvane")
    except metadata.PackageNotFoundError:
        return "unknown (not installed)"


def stop_on(signum: int, _: object) -> NoReturn:
    raise Stopped(signum)


def main(argv: Sequence[str] | None = None) -> int:
    args = PARSER.parse_args(argv)
    if needs_pillow(args):
        try:
            import PIL.Image  # noqa: F401
        except ImportError:
            print(INSTALL_PILLOW, file=sys.stderr)
            return 1
    # A kill cleans up like Ctrl-C; each exits with the shells' 128 + signal.
    previous = {s: signal.signal(s, stop_on) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        status: int = args.func(args)
        return status
    except KeyboardInterrupt as stopped:
        signum = getattr(stopped, "signum", signal.SIGINT)
        print(f"trelvane: {'terminated' if signum == signal.SIGTERM else 'interrupted'}", file=sys.stderr)
        return 128 + signum
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


# -- the command line --------------------------------------------------------

class Parser(argparse.ArgumentParser):
    """Usage errors in one line; the usage itself is in --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number")
    return value


def positive(text: str) -> float:
    value = number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


def homography(values: list[float], origin: str) -> list[float]:
    """Nine finite numbers whose 3x3 matrix can be inverted."""
    if len(values) != 9:
        raise argparse.ArgumentTypeError(f"{origin}: nine numbers are needed, not {len(values)}")
    if not all(map(math.isfinite, values)):
        raise argparse.ArgumentTypeError(f"{origin}: the numbers must be finite")
    if np.linalg.matrix_rank(np.reshape(values, (3, 3))) < 3:
        raise argparse.ArgumentTypeError(f"{origin}: the matrix is singular")
    return values


def numbers(text: str, origin: str) -> list[float]:
    """Numbers separated by commas or white space."""
    try:
        return [float(token) for token in text.replace(",", " ").split()]
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{origin}: {error}") from None


def inverse_text(text: str) -> list[float]:
    return homography(numbers(text, text), text)


def inverse_file(path: str) -> list[float]:
    """The nine numbers of a text file, or of a .npy array."""
    try:
        if is_npy(path):
            return homography([float(v) for v in np.load(path, allow_pickle=False).ravel()], path)
        return homography(numbers(Path(path).read_text(), path), path)
    except (OSError, ValueError) as error:
        raise argparse.ArgumentTypeError(f"{path}: {reason(error, path)}") from None


DETECT_EXAMPLES = """\
examples:
  trelvane detect photo.png                     one segment per line on standard output
  trelvane detect photo.png -o photo.svg        the segments drawn over the image
  trelvane detect scans/*.tif --format csv --out-dir segments/
  cat photo.png | trelvane detect - --format json

formats (one segment per line or record, longest first; coordinates in input
pixels, integer values on pixel centres):
  txt   x1 y1 x2 y2 width precision log_nfa, space-separated, no header
  csv   the same columns, with a header line
  json  a list of objects with those seven fields and angle and length
  svg   the image, embedded, with every segment drawn over it in red on a
        thin dark outline

Colour images are read as gray = 0.299 R + 0.587 G + 0.114 B (ITU-R BT.601),
in float64 without rounding; 16-bit images are read on detect's 0-255 scale."""

WARP_EXAMPLES = """\
example:
  trelvane warp photo.jpg -o view.png \\
      --inverse 0.6,0.1,20,0,0.7,10,0,0.0004,1 --size 800 600

Output pixel (c, r) is the plane point (c / scale + X, r / scale + Y); the
inverse homography (row-major h11,h12,...,h33) takes it into the source
image, in pixel-centre coordinates. Gray images are warped through the RGB
path and stay gray; 16-bit images stay 16-bit (16-bit colour only as .npy).
-o - writes PNG to standard output."""

REMAP_EXAMPLE = """\
example:
  trelvane remap photo.png -o wavy.png --map-x x.npy --map-y y.npy --filter lanczos3

Output pixel (x, y) takes the source position (X[y, x], Y[y, x]); the maps
are 2-D float32 .npy files of the output's shape, integer positions on pixel
centres. Gray or RGB by the image's mode; 16-bit images stay 16-bit.
-o - writes PNG to standard output."""


def command_line() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = Parser(
        prog="trelvane", formatter_class=raw,
        description="Line segments, perspective warps and coordinate-map remaps of image files.",
        epilog=f"{EXIT_STATUS}\n\nEach command has its own --help with examples.")
    parser.add_argument("--version", action="version", version=f"trelvane {version()}")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    def command(name: str, func: Callable[[argparse.Namespace], int], summary: str,
                description: str, examples: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description,
                                  epilog=f"{examples}\n\n{EXIT_STATUS}", formatter_class=raw)
        sub.set_defaults(func=func, command_parser=sub)
        return sub

    detect = command("detect", detect_command, "find the line segments of images",
                     "Find the validated line segments of images.", DETECT_EXAMPLES)
    detect.add_argument("images", nargs="+", metavar="IMAGE",
                        help="image files (any format Pillow reads, or .npy); - reads standard input")
    detect.add_argument("--scale", type=positive, default=0.8,
                        help="detect's scale: below 1 the image is blurred and downsampled first "
                             "(default 0.8; 1 for sub-pixel work)")
    detect.add_argument("--format", choices=FORMATS,
                        help="output format (default: from the -o file's extension, else txt)")
    where = detect.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="FILE",
                       help="the output file of a single input (default, or -: standard output)")
    where.add_argument("--out-dir", metavar="DIR",
                       help="a folder for one output per input, named after it (IMAGE's stem.FORMAT); "
                            "created if missing")
    detect.add_argument("--threads", type=positive_int, default=os.process_cpu_count() or 1,
                        help="images processed at once (default: the number of processors); "
                             "each call's own worker threads are capped to processors / N "
                             "unless TRELVANE_NUM_THREADS is set")
    detect.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    warp = command("warp", warp_command, "warp an image through an inverse homography",
                   "Perspective-warp an image through an inverse homography.", WARP_EXAMPLES)
    resampling_arguments(warp)
    matrix = warp.add_mutually_exclusive_group(required=True)
    matrix.add_argument("--inverse", metavar="h11,h12,...,h33", type=inverse_text,
                        help="the 3x3 matrix from output plane to source, nine numbers")
    matrix.add_argument("--inverse-file", dest="inverse", metavar="FILE", type=inverse_file,
                        help="the same nine numbers in a text file, or a .npy array")
    warp.add_argument("--scale", type=positive, default=1.0, help="output pixels per plane unit (default 1)")
    warp.add_argument("--offset", type=number, nargs=2, default=(0.0, 0.0), metavar=("X", "Y"),
                      help="the plane point of output pixel (0, 0) (default 0 0)")
    warp.add_argument("--size", type=positive_int, nargs=2, metavar=("W", "H"),
                      help="output width and height (default: the source's)")

    remap = command("remap", remap_command, "resample an image through coordinate maps",
                    "Resample an image through two coordinate maps.", REMAP_EXAMPLE)
    resampling_arguments(remap)
    remap.add_argument("--map-x", required=True, metavar="X.npy", help="source x per output pixel")
    remap.add_argument("--map-y", required=True, metavar="Y.npy", help="source y per output pixel")
    return parser


def resampling_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("image", metavar="IMAGE",
                         help="the source image (any format Pillow reads, or .npy); - reads standard input")
    command.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="the output image (any format Pillow writes, or .npy); - writes PNG "
                              "to standard output")
    command.add_argument("--filter", choices=("bilinear", "lanczos3"), default="bilinear",
                         help="interpolation filter (default bilinear)")


PARSER = command_line()

if __name__ == "__main__":
    sys.exit(main())
