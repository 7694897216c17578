"""The trelvane command: what the API gives on the same arrays, whole output
files only, and one line per bad input."""
import base64
import io
import json
import signal
import sys
import time
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

import trelvane
from conftest import start_cli
from detect_cases import strokes

Image = pytest.importorskip("PIL.Image")
from trelvane_cli import main  # noqa: E402

NINE = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")
HOMOGRAPHY = [0.6, 0.1, 20.0, 0.0, 0.7, 10.0, 0.0, 0.0004, 1.0]


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
            "y.npy": np.zeros((6, 5), np.float32), "wide.npy": np.zeros((5, 6))}


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
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0", 1,
     "expected a sequence of length 9 (got 8) (while processing 'inverse')"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0,one", 1, "--inverse:"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/wide.npy --map-y {d}/x.npy", 1, "wide.npy: a coordinate map"),
    ("remap {d}/gray.png -o {d}/out.png --map-x {d}/x.npy --map-y {d}/y.npy", 1, "must have the same shape"),
    ("remap {d}/notes.txt -o {d}/out.png --map-x {d}/x.npy --map-y {d}/x.npy", 1, "cannot identify image"),
    ("detect {d}/gray.png no-Pillow", 1, "needs Pillow: pip install 'trelvane[cli]'"),
    ("detect {d}/gray.png {d}/gray.png", 2, "several inputs need --out-dir"),
    ("warp {d}/gray.png -o {d}/out.png", 2, "one of the arguments --inverse --inverse-file is required"),
    ("warp {d}/gray.png -o {d}/notes.txt --inverse 1,0,0,0,1,0,0,0,1", 2, "no image format"),
    ("warp {d}/gray.png -o {d}/out.png --inverse 1,0,0,0,1,0,0,0,1 --size 0 5", 2, "not a positive whole number"),
])
def test_bad_input_gives_one_line_and_its_exit_status(files, command, code, message, capsys, monkeypatch):
    if command.endswith("no-Pillow"):
        command = command.removesuffix(" no-Pillow")
        monkeypatch.setitem(sys.modules, "PIL", None)
        monkeypatch.setitem(sys.modules, "PIL.Image", None)
    try:
        status = main(command.format(d=files).split())
    except SystemExit as usage_error:
        status = usage_error.code
    err = capsys.readouterr().err
    last = err.splitlines()[-1]  # a usage error's one line follows the usage
    assert status == code and (code == 2 or err.count("\n") == 1) and "Traceback" not in err
    assert last.startswith("trelvane") and message in last and not (files / "out.png").exists()


def test_a_batch_goes_on_past_bad_inputs(files, capsys):
    (files / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    inputs = [files / n for n in ("gray.png", "missing.png", "broken.png", "colour.png")]
    assert main(["detect", *map(str, inputs), "--out-dir", str(files / "out"), "--format", "json"]) == 1
    assert capsys.readouterr().err.splitlines() == [
        f"trelvane: {files / 'missing.png'}: No such file or directory",
        f"trelvane: {files / 'broken.png'}: cannot identify image file {str(files / 'broken.png')!r}",
        "trelvane: 2 of 4 inputs failed"]
    assert sorted(p.name for p in (files / "out").iterdir()) == ["colour.json", "gray.json"]


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
    else:
        assert (process.returncode, err, left) == (130, "trelvane: interrupted\n", ["noise.npy"])
