"""The trelvane command: what the API gives on the same arrays, whole output
files only, and one line per bad input."""
import base64
import io
import json
import shutil
import signal
import subprocess
import sys
import time
import tomllib
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import numpy as np
import pytest

import trelvane
from conftest import child_environment, run_cli, start_cli
from detect_cases import strokes

Image = pytest.importorskip("PIL.Image")
from trelvane_cli import main  # noqa: E402

NINE = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")
HOMOGRAPHY = [0.6, 0.1, 20.0, 0.0, 0.7, 10.0, 0.0, 0.0004, 1.0]
ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(autouse=True)
def own_thread_setting(monkeypatch):
    # The command sets TRELVANE_NUM_THREADS when unset: keep it from leaking.
    monkeypatch.setenv("TRELVANE_NUM_THREADS", "0")


@pytest.fixture(scope="module")
def arrays():
    camera = np.clip(strokes(256, 256, 24, 3), 0, 255).astype(np.uint8)
    colour = np.stack([camera, camera[::-1], camera.T], axis=-1)
    deep = camera.astype(np.uint16) * 256 + np.arange(camera.size, dtype=np.uint16).reshape(camera.shape) % 256
    ys, xs = np.mgrid[0:256, 0:256].astype(np.float32)
    return {"gray.png": camera, "deep.png": deep, "deep.pgm": deep, "deep.tif": deep, "deep.npy": deep,
            "colour.png": colour, "colour16.npy": colour.astype(np.uint16) * 257,
            "mx.npy": xs + 5 * np.sin(ys / 9), "my.npy": ys * 0.9 + 3, "x.npy": np.zeros((5, 6), np.float32),
            "y.npy": np.zeros((6, 5), np.float32), "wide.npy": np.zeros((5, 6)),
            "cube.npy": np.zeros((5, 6, 2), np.float32)}


@pytest.fixture
def files(arrays, tmp_path):
    for name, samples in arrays.items():
        if name.endswith(".npy"):
            np.save(tmp_path / name, samples)
        else:
            Image.fromarray(samples).save(tmp_path / name)
    (tmp_path / "h.txt").write_text(" ".join(map(str, HOMOGRAPHY)))
    (tmp_path / "notes.txt").write_text("not an image")
    return tmp_path


def records(text, form):
    """Per segment, the attributes the format carries: seven, or nine in JSON."""
    if form == "json":
        return [[record[k] for k in NINE] for record in json.loads(text)]
    lines = text.splitlines()
    if form == "csv":
        assert lines.pop(0) == ",".join(NINE[:7])
    return [[float(v) for v in line.replace(",", " ").split()] for line in lines]


@pytest.mark.parametrize("form", ["txt", "csv", "json"])
@pytest.mark.parametrize("name", ["gray.png", "deep.png", "deep.pgm", "deep.tif", "deep.npy", "colour.png"])
def test_detect_writes_the_api_segments(files, arrays, name, form, capsys):
    gray = arrays[name]
    if gray.ndim == 3:  # the documented rule: ITU-R BT.601 luma, unrounded
        gray = gray @ np.array([0.299, 0.587, 0.114])
    expected = [[getattr(s, k) for k in NINE] for s in trelvane.detect(gray, 0.5)]
    assert main(["detect", str(files / name), "--scale", "0.5", "--format", form]) == 0
    found = records(capsys.readouterr().out, form)
    assert len(expected) > 20
    assert found == [row[:len(found[0])] for row in expected]  # every float64 exact


def warped(src, *args, **kwargs):
    gray = src.ndim == 2  # documented: gray goes through the RGB path
    out = trelvane.warp_rgb(np.dstack([src] * 3) if gray else src, HOMOGRAPHY, *args, **kwargs)
    return out[:, :, 0] if gray else out


@pytest.mark.parametrize("command, expected", [
    ("warp {d}/colour.png -o {d}/out.png --inverse-file {d}/h.txt", lambda a, _: warped(a, 1.0, 0.0, 0.0)),
    ("warp {d}/deep.tif -o {d}/out.png --inverse-file {d}/h.txt --scale 1.5 --offset 10 -5 --size 300 200 "
     "--filter lanczos3", lambda a, _: warped(a, 1.5, 10.0, -5.0, "lanczos3", (300, 200))),
    ("warp {d}/colour16.npy -o {d}/out.npy --inverse-file {d}/h.txt --size 90 70",
     lambda a, _: warped(a, 1.0, 0.0, 0.0, out_size=(90, 70))),
    ("remap {d}/deep.pgm -o {d}/out.tif --map-x {d}/mx.npy --map-y {d}/my.npy",
     lambda a, m: trelvane.remap_gray(a, m["mx.npy"], m["my.npy"])),
    ("remap {d}/colour.png -o {d}/out.png --map-x {d}/mx.npy --map-y {d}/my.npy --filter lanczos3",
     lambda a, m: trelvane.remap_rgb(a, m["mx.npy"], m["my.npy"], "lanczos3")),
])
def test_warp_and_remap_write_the_api_result(files, arrays, command, expected):
    _, source, _, out, *_ = command.split()
    assert main(command.format(d=files).split()) == 0
    out = out.format(d=files)
    result = np.load(out) if out.endswith(".npy") else np.asarray(Image.open(out))
    want = expected(arrays[source.removeprefix("{d}/")], arrays)
    assert result.dtype == want.dtype and np.array_equal(result, want)  # 16-bit stays 16-bit


def test_svg_draws_segments_on_their_edges(tmp_path):
    # A bright block on rows 20-39 and columns 10-69: in SVG, where pixel (0, 0)
    # covers [0, 1] x [0, 1], its outline is x = 10 and 70, y = 20 and 40.
    block = np.zeros((60, 80), np.uint8)
    block[20:40, 10:70] = 200
    Image.fromarray(block).save(tmp_path / "block.png")
    assert main(["detect", str(tmp_path / "block.png"), "--scale", "1", "-o", str(tmp_path / "b.svg")]) == 0
    svg = ElementTree.parse(tmp_path / "b.svg").getroot()
    ns = {"svg": "http://www.w3.org/2000/svg"}
    assert (svg.get("width"), svg.get("height")) == ("80", "60")
    href = svg.find("svg:image", ns).get("href")
    picture = Image.open(io.BytesIO(base64.b64decode(href.split(",", 1)[1])))
    assert np.array_equal(np.asarray(picture), block)
    ends = [[float(line.get(k)) for k in ("x1", "y1", "x2", "y2")] for line in svg.iterfind(".//svg:line", ns)]
    off_sides = [[abs(x1 - x) + abs(x2 - x) for x in (10, 70)] + [abs(y1 - y) + abs(y2 - y) for y in (20, 40)]
                 for x1, y1, x2, y2 in ends]  # one segment on each side, within 0.05 px
    assert sorted(np.argmin(off) for off in off_sides) == [0, 1, 2, 3] and max(map(min, off_sides)) < 0.05


@pytest.mark.parametrize("command, code, message", [
    # Usage errors: found before any input is read.
    ("detect {d}/gray.png --scale -1", 2, "-1 is not a positive number"),
    ("detect {d}/gray.png --scale 0", 2, "0 is not a positive number"),
    ("detect {d}/gray.png --scale nan", 2, "nan is not a finite number"),
    ("detect {d}/gray.png --scale inf", 2, "inf is not a finite number"),
    ("detect {d}/gray.png -o {d}/out.png", 2, "no output format has the extension '.png'"),
    ("detect {d}/gray.png -o {d}/missing/out.svg", 2, "the folder"),
    ("detect {d}/gray.png -o {d}/notes.txt/out.svg", 2, "notes.txt is not a folder"),
    ("detect {d}/gray.png -o {d}", 2, "a folder, not an output file"),
    ("detect {d}/gray.png --out-dir {d}/notes.txt/out", 2, "--out-dir"),
    ("detect {d}/gray.png --out-dir {d}/notes.txt", 2, "--out-dir"),
    ("detect - - --out-dir {d}/out", 2, "standard input (-) can be read only once"),
    ("detect {d}/gray.png {d}/gray.png", 2, "several inputs need --out-dir"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0", 2, "nine numbers are needed, not 8"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0,one", 2, "could not convert"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0,nan", 2, "must be finite"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1e999,0,0,0,1", 2, "must be finite"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 0,0,0,0,0,0,0,0,0", 2, "singular"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,2,3,2,4,6,0,0,1", 2, "singular"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/singular.txt", 2, "singular"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/missing.txt", 2, "No such file"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/h.txt --scale 0", 2, "not a positive number"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/h.txt --scale nan", 2, "not a finite number"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/h.txt --offset nan 0", 2, "not a finite number"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/h.txt --size 2147483647 2147483647", 2,
     "13835058042397261827 bytes"),
    ("warp {d}/gray.png -o {d}/out.png --inverse-file {d}/h.txt --size 0 5", 2, "not a positive whole number"),
    ("warp {d}/gray.png -o {d}/out.png", 2, "one of the arguments --inverse --inverse-file is required"),
    ("warp {d}/gray.png -o {d}/notes.txt --inverse-file {d}/h.txt", 2, "no image format"),
    ("remap {d}/gray.png -o {d}/missing/out.png --map-x {d}/x.npy --map-y {d}/x.npy", 2, "does not exist"),
    # Failures of an input: found while it is processed.
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/wide.npy --map-y {d}/x.npy", 1,
     "wide.npy: a coordinate map must be float32, not float64 of shape (5, 6) (use astype(np.float32))"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/cube.npy --map-y {d}/x.npy", 1,
     "cube.npy: a coordinate map must be a 2-D array, not float32 of shape (5, 6, 2)\n"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/x.npy --map-y {d}/notes.txt", 1,
     "notes.txt: not a .npy file (--map-y takes an array saved with np.save)"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/gray.png --map-y {d}/x.npy", 1, "gray.png: not a .npy file (--map-x"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/x.npy --map-y {d}/y.npy", 1, "must have the same shape"),
    ("remap {d}/notes.txt -o {d}/out.png --map-x {d}/x.npy --map-y {d}/x.npy", 1, "cannot identify image"),
    ("detect - < ", 1, "trelvane: -: standard input is empty\n"),
    ("detect - < not an image", 1, "trelvane: -: standard input holds no image Pillow reads, nor a .npy array\n"),
    ("detect {d}/gray.png no-Pillow", 1, "needs Pillow: pip install 'trelvane[cli]'"),
])
def test_bad_input_gives_one_line_and_no_output(files, command, code, message, capsys, monkeypatch):
    if command.endswith("no-Pillow"):
        command = command.removesuffix(" no-Pillow")
        monkeypatch.setitem(sys.modules, "PIL", None)
        monkeypatch.setitem(sys.modules, "PIL.Image", None)
    command, _, given = command.partition(" < ")  # the rest is standard input
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(given.encode())))
    (files / "singular.txt").write_text("1 2 3\n2 4 6\n0 0 1\n")
    before = sorted(files.rglob("*"))
    try:
        status = main(command.format(d=files).split())
    except SystemExit as usage_error:
        status = usage_error.code
    err = capsys.readouterr().err
    assert (status, err.count("\n")) == (code, 1) and err.startswith("trelvane") and message in err, err
    assert sorted(files.rglob("*")) == before  # no output, not even a temporary one


@pytest.mark.parametrize("name, sample_bytes", [("gray.png", 1), ("colour.png", 1), ("deep.png", 2),
                                                ("deep.tif", 2), ("colour16.npy", 2)])
def test_the_size_check_counts_the_outputs_sample_bytes(files, name, sample_bytes, monkeypatch, capsys):
    # Memory enough for an 8-bit RGB result of --size 90 70, not for a 16-bit one.
    monkeypatch.setattr("trelvane_cli.physical_memory", lambda: 90 * 70 * 3 * 2 - 1)
    command = ["warp", str(files / name), "-o", str(files / "out.npy"), "--inverse-file", str(files / "h.txt"),
               "--size", "90", "70"]
    if sample_bytes == 1:
        assert main(command) == 0
        return
    with pytest.raises(SystemExit) as refused:
        main(command)
    assert refused.value.code == 2 and "at least 37800 bytes" in capsys.readouterr().err


def test_a_batch_goes_on_past_bad_inputs_and_reports_them_in_order(files, capsys):
    (files / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    # A picture cut short fails only once most of it is decoded, after the
    # missing file that follows it has failed.
    noise = np.random.default_rng(1).integers(0, 256, (2000, 2000), np.uint8)
    whole = io.BytesIO()
    Image.fromarray(noise).save(whole, format="PNG")
    (files / "cut.png").write_bytes(whole.getvalue()[:-100000])
    inputs = [files / n for n in ("cut.png", "gray.png", "missing.png", "broken.png", "colour.png")]
    assert main(["detect", *map(str, inputs), "--out-dir", str(files / "out"), "--format", "json",
                 "--threads", "4"]) == 1
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith(f"trelvane: {files / 'cut.png'}: image file is truncated")
    assert lines[1:] == [
        f"trelvane: {files / 'missing.png'}: No such file or directory",
        f"trelvane: {files / 'broken.png'}: cannot identify image file {str(files / 'broken.png')!r}",
        "trelvane: 3 of 5 inputs failed"]
    assert sorted(p.name for p in (files / "out").iterdir()) == ["colour.json", "gray.json"]


@pytest.mark.parametrize("dash_form, file_form", [
    ("detect - --format csv", "detect {d}/gray.png --format csv"),
    ("detect - -o - --format svg", "detect {d}/colour.png --format svg"),
    ("detect - --scale 0.5", "detect {d}/deep.npy --scale 0.5"),
    ("warp - -o - --inverse 1,0,0,0,1,0,0,0,1", "cat {d}/colour.png"),
    ("remap - -o - --map-x {d}/mx.npy --map-y {d}/my.npy --filter lanczos3",
     "remap {d}/deep.pgm -o {d}/out.png --map-x {d}/mx.npy --map-y {d}/my.npy --filter lanczos3"),
])
def test_dash_reads_standard_input_and_writes_standard_output(files, dash_form, file_form):
    """The - form, given the file form's input on standard input, writes what
    the file form writes (an identity warp gives back its input)."""
    source, out = files / file_form.split()[1].removeprefix("{d}/"), files / "out.png"
    if file_form.startswith("cat"):
        expected = source.read_bytes()
    else:
        expected = run_cli(file_form.format(d=files).split()) or out.read_bytes()
    found = run_cli(dash_form.format(d=files).split(), source.read_bytes())
    assert len(found) > 1000
    if dash_form.startswith(("warp", "remap")):  # the pixels, whatever the PNG encoder chose
        found, expected = (np.asarray(Image.open(io.BytesIO(png))) for png in (found, expected))
    assert np.array_equal(found, expected)


@pytest.mark.parametrize("sent", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
def test_an_interrupted_run_leaves_no_partial_output(tmp_path, sent):
    np.save(tmp_path / "noise.npy", np.random.default_rng(0).integers(0, 256, (2000, 2000), np.uint8))
    process = start_cli("detect", tmp_path / "noise.npy", "-o", tmp_path / "noise.svg")
    while process.poll() is None and not any(p.suffix == ".part" for p in tmp_path.iterdir()):
        time.sleep(0.001)
    assert process.poll() is None, "the run ended before its output was being written"
    process.send_signal(sent)
    _, err = process.communicate(timeout=60)
    left = sorted(p.name for p in tmp_path.iterdir())
    if sent == signal.SIGKILL:  # only the hidden temporary file may remain
        assert len(left) == 2 and left[0].startswith(".noise.svg.") and left[0].endswith(".part")
    else:  # the shells' convention: 128 + the signal's number
        said = "terminated" if sent == signal.SIGTERM else "interrupted"
        assert (process.returncode, err, left) == (128 + sent, f"trelvane: {said}\n", ["noise.npy"])


def test_the_checkout_command_runs_detect_on_the_bundled_picture(tmp_path):
    """tools/trelvane, as the README shows it, run in a folder of the user's
    outside the repository, with the module of this test run."""
    build = Path(trelvane.__file__).parent
    if not (build / "build.ninja").exists() or shutil.which("cmake") is None:
        pytest.skip("the module was not built in a CMake build folder here")
    picture = ROOT / "examples" / "data" / "camera.png"
    result = subprocess.run([ROOT / "tools" / "trelvane", "detect", picture, "-o", "camera.txt"],
                            env=child_environment({"PYTHON": sys.executable, "TRELVANE_BUILD": str(build)}),
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr) == (0, "")
    expected = trelvane.detect(np.asarray(Image.open(picture)))
    assert len((tmp_path / "camera.txt").read_text().splitlines()) == len(expected) > 100


def test_version_is_the_project_version_marked_in_a_checkout(capsys):
    """The checkout's command says so; an installed one (the wheel's tests)
    gives its version alone."""
    with pytest.raises(SystemExit) as exit_status:
        main(["--version"])
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    checkout = Path(main.__code__.co_filename).resolve().parent == ROOT / "src" / "python"
    expected = f"trelvane {version}{' (checkout)' if checkout else ''}\n"
    assert (exit_status.value.code, capsys.readouterr().out) == (0, expected)
