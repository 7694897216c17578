"""Checks of the built module's machine code."""

import os
import platform
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import trelvane

pytestmark = pytest.mark.skipif(
    platform.machine() != "x86_64" or shutil.which("objdump") is None or shutil.which("objcopy") is None,
    reason="x86-64 disassembly with objdump")

FUSED = re.compile(r"\bvf(?:n?m(?:add|sub)|maddsub|msubadd)\w*")
# The float32 sums of the resampling's float32 path, whose error bound counts
# each fused multiply-add as one rounding: the only functions allowed to use them.
FMA_ALLOWED = re.compile(r"::float32_sums\(")
REPO = Path(__file__).resolve().parents[2]


def machine_code(path):
    """The bytes of the file's .text section."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "text"
        subprocess.run(["objcopy", "-O", "binary", "--only-section=.text", path, out], check=True)
        return out.read_bytes()


def has_symbols(path):
    return "no symbols" not in subprocess.run(["objdump", "-t", path], capture_output=True, text=True,
                                              check=True).stdout


def module_with_symbols():
    """The module's file with its function symbols: the imported one, or where
    that is stripped (pip installs it so), the unstripped module of the same
    name and the same machine code in the build tree: $TRELVANE_BUILD_DIR
    where the test scripts set it, otherwise the repository's build/."""
    module = trelvane.__file__
    if has_symbols(module):
        return module
    build = os.environ.get("TRELVANE_BUILD_DIR")
    code = machine_code(module)
    for candidate in Path(build or REPO / "build").rglob(Path(module).name):
        if has_symbols(candidate) and machine_code(candidate) == code:
            return candidate
    assert not build, f"TRELVANE_BUILD_DIR={build} holds no unstripped copy of {module}"
    pytest.skip(f"{module} is stripped, and no build tree holds it unstripped (set TRELVANE_BUILD_DIR)")


def fused_by_function():
    """{demangled function name: sorted fused multiply-add mnemonics in it}."""
    code = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", module_with_symbols()],
                          capture_output=True, text=True, check=True).stdout
    found, name = {}, None
    for line in code.splitlines():
        header = re.match(r"[0-9a-f]+ <(.*)>:$", line)
        if header:
            name = header.group(1)
        elif name and (fused := FUSED.findall(line)):
            found.setdefault(name, set()).update(fused)
    return {name: sorted(m) for name, m in found.items()}, code


def test_fused_multiply_add_only_where_allowed_and_vector_code_present():
    # A fused multiply-add rounds once where the reference rounds twice: one
    # contracted a*b + c in the exact code would change result bits.
    fused, code = fused_by_function()
    assert {name: m for name, m in fused.items() if not FMA_ALLOWED.search(name)} == {}
    assert sum(1 for name in fused if FMA_ALLOWED.search(name)) >= 2  # one per vector level: the scan sees them
    assert "vpgatherdq" in code and "zmm" in code  # the disassembly covers the vector levels
