"""tools/run's provisioning of a root, with a stand-in debootstrap: a step that
fails names the log and leaves no root behind for later commands to use."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0 or shutil.which("chroot") is None,
                                reason="provisioning needs root and chroot")

# Prints a few of debootstrap's progress lines, creates the target folder
# (the argument ending in .partial) and exits with the given status.
FAKE_DEBOOTSTRAP = """#!/bin/sh
for phase in Retrieving Retrieving Extracting Unpacking; do echo "I: $phase libc6..."; done
for arg; do case $arg in *.partial) mkdir -p "$arg" ;; esac; done
exit {status}
"""


@pytest.mark.parametrize("status, failure", [
    (1, "debootstrap failed"),
    # An empty root: the check cannot run its compiler.
    (0, "the check (g++ --version) failed"),
])
def test_failed_provisioning_names_its_log_and_leaves_no_root(tmp_path, status, failure):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / "debootstrap"
    fake.write_text(FAKE_DEBOOTSTRAP.format(status=status))
    fake.chmod(0o755)
    cache = tmp_path / "cache"
    # No sanitizer runtime preloaded by the test run: LeakSanitizer cannot stop
    # the threads of a process that chroot took away from /proc.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update(TRELVANE_CACHE=str(cache), TRELVANE_ARCH="amd64", TRELVANE_SUITE="bookworm",
               PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run([REPO / "tools" / "run", "--root"], env=env, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 1
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines[-1] == f"tools/run: bookworm: {failure}; the log is {cache}/bookworm.log"
    # One line per phase, however many packages it goes through.
    assert [line for line in lines if "packages" in line] == [
        f"tools/run: bookworm: {phase} packages" for phase in ("retrieving", "extracting", "unpacking")]
    assert not [p.name for p in cache.iterdir() if re.fullmatch(r"bookworm-[0-9a-f]{12}", p.name)]
    assert "I: Unpacking libc6..." in (cache / "bookworm.log").read_text()
