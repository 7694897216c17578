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

FUSED = re.compile(r"\bvf(?:n?m(?:add|sub)|maddsub|msubadd)\w*")
# The float32 sums of the filtered paths, whose error bound counts each fused
# multiply-add as one rounding: the only functions allowed to use them.
FILTERED = re.compile(r"::(?:filtered|float32)_sums\(")


def fused_by_function():
    """{demangled function name: sorted fused multiply-add mnemonics in it}."""
    code = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", trelvane.__file__],
                          capture_output=True, text=True, check=True).stdout
    found, name = {}, None
    for line in code.splitlines():
        header = re.match(r"[0-9a-f]+ <(.*)>:$", line)
        if header:
            name = header.group(1)
        elif name and (fused := FUSED.findall(line)):
            found.setdefault(name, set()).update(fused)
    return {name: sorted(m) for name, m in found.items()}, code


def test_fused_multiply_add_only_in_the_filtered_sums_and_vector_code_present():
    # A fused multiply-add rounds once where the reference rounds twice: one
    # contracted a*b + c in the exact code would change result bits.
    fused, code = fused_by_function()
    assert {name: m for name, m in fused.items() if not FILTERED.search(name)} == {}
    assert sum(1 for name in fused if FILTERED.search(name)) >= 2  # one per vector level: the scan sees them
    assert "vpgatherdq" in code and "zmm" in code  # the disassembly covers the vector levels
