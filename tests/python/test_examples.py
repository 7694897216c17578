"""The examples run on small inputs and reach their results; the stub matches
the module, its docstring examples run, and the examples type-check against it."""
import ast
import doctest
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import trelvane

ROOT = Path(__file__).resolve().parents[2]


def example(name):
    location = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, args, needs, check", [
    # At scale 0.5 the corners come within about 0.2 px (bench/rectify_scale.py).
    ("rectify_document", [], "skimage PIL", lambda error: error < 0.3),
    ("undistort", ["--size", "320x180"], "scipy skimage PIL", lambda figures: figures["equal"] > 0.999),
    ("batch_threads", ["--images", "4", "--size", "96"], "skimage PIL", lambda speedup: speedup > 0),
    # Tiles on the sampling grid reproduce most whole-image segments, tiles off it few.
    ("dask_scale_out", ["--size", "512", "--images", "2"], "dask.distributed skimage PIL",
     lambda figures: figures["on_grid"] > 0.8 and figures["off_grid"] < 0.3),
])
def test_example(name, args, needs, check, tmp_path, capsys):
    for module in needs.split():
        pytest.importorskip(module)
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
    pytest.importorskip("mypy")
    run("mypy.stubtest", "--mypy-config-file", "pyproject.toml", "--allowlist",
        "src/python/stubtest_allowlist.txt", "trelvane")


def test_examples_type_check():
    pytest.importorskip("mypy")
    pytest.importorskip("PIL", reason="the examples' types use Pillow's annotations")
    run("mypy", "--strict")  # files, paths and cache from pyproject.toml


def stub_examples():
    """(name, docstring) of every documented object of the stub with examples."""
    tree = ast.parse((ROOT / "src" / "python" / "trelvane.pyi").read_text())
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.Module, ast.ClassDef, ast.FunctionDef))]
    return [(getattr(n, "name", "trelvane"), ast.get_docstring(n)) for n in nodes
            if ">>>" in (ast.get_docstring(n) or "")]


@pytest.mark.parametrize("name, docstring", stub_examples(), ids=[n for n, _ in stub_examples()])
def test_stub_docstring_examples_run(name, docstring):
    namespace = {"np": np, "trelvane": trelvane}
    if "skimage" in docstring:
        pytest.importorskip("skimage.data")
        namespace["skimage"] = sys.modules["skimage"]
    test = doctest.DocTestParser().get_doctest(docstring, namespace, name, None, 0)
    assert doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE).run(test).failed == 0


def code_blocks(path):
    """The Python code blocks of a Markdown or reStructuredText page, joined."""
    text = (ROOT / path).read_text()
    fenced = re.findall(r"```python\n(.*?)```", text, re.S)
    directives = re.findall(r"\.\. code-block:: python\n\n((?:   .*\n|\n)+)", text)
    return "\n".join(fenced + [textwrap.dedent(block) for block in directives])


@pytest.mark.parametrize("path", ["README.md", "docs/getting-started.rst"])
def test_documentation_code_runs(path, monkeypatch):
    code = code_blocks(path)
    assert "trelvane." in code
    if "skimage" in code:
        pytest.importorskip("skimage.data")
    # The pages' paths are the repository's, as a reader of the page runs them.
    monkeypatch.chdir(ROOT)
    exec(compile(code, path, "exec"), {})
