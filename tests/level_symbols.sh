#!/usr/bin/env bash
# The objects compiled for a vector level may define only their own level's
# symbols. A weak definition of anything shared (an out-of-line std:: or
# project inline function) compiled there with AVX-512 instructions could be
# the one the linker keeps for every caller, and crash CPUs without them.
set -euo pipefail
leaks=$(nm -C --defined-only "$@" | grep -E ' [A-TV-Zu] ' |
        grep -vE '::(avx2|avx512)::|DW\.ref\.__gxx_personality_v0' || true)
if [ -n "$leaks" ]; then
    printf 'symbols outside the level namespaces:\n%s\n' "$leaks"
    exit 1
fi
echo "level objects define only their own symbols"
