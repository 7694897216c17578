"""Helpers shared by the test files, and the summary line of the recorded
detector comparisons."""
import collections
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


def pytest_terminal_summary(terminalreporter):
    """One line on how the recorded detector results were compared (a test
    records its comparison as the property "comparison")."""
    ways = collections.Counter(value for reports in terminalreporter.stats.values() for report in reports
                               if getattr(report, "when", None) == "call"
                               for name, value in getattr(report, "user_properties", ()) if name == "comparison")
    if ways:
        terminalreporter.write_line("recorded detector results compared: " + "; ".join(
            f"{count} {way}" for way, count in sorted(ways.items())))
