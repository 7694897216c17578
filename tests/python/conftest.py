"""Helpers shared by the test files."""
import os
import subprocess
import sys
import textwrap

import pytest


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
