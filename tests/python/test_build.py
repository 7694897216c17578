"""Checks of the built module's machine code."""

import platform
import re
import shutil
import subprocess

import pytest

import trelvane

pytestmark = pytest.mark.skipif(
    platform.machine() != "x86_64" or shutil.which("objdump") is None,
    reason="x86-64 disassembly with objdump")


def test_no_fused_multiply_add_and_vector_code_present():
    # A fused multiply-add rounds once where the reference rounds twice: one
    # contracted a*b + c anywhere would change result bits.
    code = subprocess.run(["objdump", "-d", "--no-show-raw-insn", trelvane.__file__],
                          capture_output=True, text=True, check=True).stdout
    fused = sorted(set(re.findall(r"\bvf(?:n?m(?:add|sub)|maddsub|msubadd)\w*", code)))
    assert fused == []
    assert "vpgatherdq" in code and "zmm" in code  # the disassembly covers the vector levels
