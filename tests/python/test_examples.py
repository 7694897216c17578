"""The examples run on small inputs and reach their results; the stub matches
the module, and the examples type-check against it."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import trelvane

ROOT = Path(__file__).resolve().parents[2]


def example(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, args, check", [
    ("rectify_document", [], lambda error: error < 0.2),
    ("undistort", ["--size", "320x180"], lambda figures: figures["equal"] > 0.999),
    ("batch_threads", ["--images", "4", "--size", "96"], lambda speedup: speedup > 0),
    # Tiles on the sampling grid reproduce most whole-image segments, tiles off it few.
    ("dask_scale_out", ["--size", "512", "--images", "2"],
     lambda figures: figures["on_grid"] > 0.8 and figures["off_grid"] < 0.3),
])
def test_example(name, args, check, tmp_path, capsys):
    picture = tmp_path / f"{name}.png"
    assert check(example(name).main(args + ["--out", str(picture)]))
    assert picture.stat().st_size > 0
    assert str(picture) in capsys.readouterr().out


def run(*command):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(trelvane.__file__))
    result = subprocess.run([sys.executable, "-m", *command], cwd=ROOT, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_the_module():
    run("mypy.stubtest", "--mypy-config-file", "pyproject.toml", "--allowlist",
        "src/python/stubtest_allowlist.txt", "trelvane")


def test_examples_type_check():
    run("mypy", "--strict")  # files, paths and cache from pyproject.toml
