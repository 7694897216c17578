"""Helpers shared by the test files."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# The command-line module is pure Python: the tests import it from the sources.
sys.path.append(str(Path(__file__).resolve().parents[2] / "src" / "python"))


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def run_python(code, env=None):
    """Runs code in a fresh interpreter with the test's module path and the
    given variables (and no thread setting of the test run's own)."""
    environ = {k: v for k, v in os.environ.items() if k != "TRELVANE_NUM_THREADS"}
    environ.update(env or {}, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environ,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def start_cli(*args):
    """The trelvane command in a fresh interpreter, as `python -m trelvane_cli`."""
    environ = {k: v for k, v in os.environ.items() if k != "TRELVANE_NUM_THREADS"}
    environ.update(PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-m", "trelvane_cli", *map(str, args)], env=environ,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
