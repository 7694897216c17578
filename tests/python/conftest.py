"""Helpers shared by the test files, the summary line of the recorded
detector comparisons, and on a free-threaded interpreter the check that the
GIL stays off."""
import collections
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

# The command-line module is pure Python: the tests import it from the sources.
sys.path.append(str(Path(__file__).resolve().parents[2] / "src" / "python"))


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def child_environment(env=None):
    """This process's variables, less its thread setting, with its module path
    and the given variables."""
    environ = {k: v for k, v in os.environ.items() if k != "TRELVANE_NUM_THREADS"}
    environ.update(env or {}, PYTHONPATH=os.pathsep.join(sys.path))
    return environ


def run_python(code, env=None):
    """Runs code in a fresh interpreter with the test's module path and the
    given variables (and no thread setting of the test run's own)."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_environment(env),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def run_cli(args, given=b""):
    """The standard output of the trelvane command, run in a fresh interpreter
    with `given` on its standard input; the command must succeed."""
    result = subprocess.run([sys.executable, "-m", "trelvane_cli", *map(str, args)], input=given,
                            env=child_environment(), capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


def start_cli(*args):
    """The trelvane command in a fresh interpreter, as `python -m trelvane_cli`."""
    return subprocess.Popen([sys.executable, "-m", "trelvane_cli", *map(str, args)], env=child_environment(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def gil_turned_on():
    """Whether this free-threaded interpreter, not told to run with the GIL,
    has it on: an imported module that does not declare itself free of it
    turns it on for the whole process."""
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED")
    return bool(free_threaded) and getattr(sys.flags, "gil", None) != 1 and sys._is_gil_enabled()


def pytest_sessionstart(session):
    import trelvane  # noqa: F401
    if gil_turned_on():
        pytest.exit("importing trelvane turned the GIL on", returncode=pytest.ExitCode.TESTS_FAILED)


def pytest_sessionfinish(session):
    if gil_turned_on():
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter):
    """On a free-threaded interpreter, whether the GIL stayed off; and one line
    on how the recorded detector results were compared (a test records its
    comparison as the property "comparison")."""
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        terminalreporter.write_line(f"free-threaded {sys.version.split()[0]}: sys._is_gil_enabled() is "
                                    f"{sys._is_gil_enabled()} after importing trelvane and running the tests"
                                    + (" (the GIL was turned on: a failure)" if gil_turned_on() else ""))
    ways = collections.Counter(value for reports in terminalreporter.stats.values() for report in reports
                               if getattr(report, "when", None) == "call"
                               for name, value in getattr(report, "user_properties", ()) if name == "comparison")
    if ways:
        terminalreporter.write_line("recorded detector results compared: " + "; ".join(
            f"{count} {way}" for way, count in sorted(ways.items())))
