# Shell functions the scripts in tools/ share; sourced from the repository's
# top folder, inside a root (tools/run).

jobs=$(nproc)

# build DIR [CMAKE_ARG...]: configures DIR with Ninja (for $PYTHON, where
# there is one) and builds it, printing only what the compiler says.
build() {
    local dir=$1 python
    shift
    python=$(command -v "${PYTHON:-}") || python=
    cmake -S . -B "$dir" -G Ninja ${python:+-DPython_EXECUTABLE="$python"} "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" -- --quiet
}

# run_ctest DIR [CTEST_ARG...]: the C++ tests, printing the failures with
# their output, and the summary; skipped tests (instruction-set levels the
# CPU lacks, what a sanitizer cannot run) are counted in one line, not listed.
run_ctest() {
    local dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" | awk '
        /^ *Start +[0-9]+: / || / Passed +[0-9.]+ sec$/ || /\*\*\*Skipped +[0-9.]+ sec$/ { next }
        /^The following tests did not run:$/ { listing = 1; next }
        listing && /\(Skipped\)$/ { skipped++; next }
        { listing = 0; print }
        END { if (skipped) print skipped " tests skipped, each saying why (ctest --test-dir '"$dir"' -V)" }'
}

# install_into_venv VENV FILE: a fresh virtual environment that sees the
# root's packages, with the wheel or sdist FILE installed; trelvane must then
# import from the environment, not from the sources.
install_into_venv() {
    echo "installing $(basename "$2") into a fresh virtual environment"
    "$PYTHON" -m venv --system-site-packages "$1"
    "$1/bin/python" -m pip install --no-build-isolation --no-deps --no-index -q "$2"
    (cd "$1" && bin/python -c 'import sys, trelvane
assert trelvane.__file__.startswith(sys.prefix), trelvane.__file__
print("installed and imports:", trelvane.__file__)')
}
