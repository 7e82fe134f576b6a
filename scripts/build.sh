#!/usr/bin/env bash
# Configures and builds everything into build/ (or $KAVRO_BUILD).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KAVRO_BUILD:-$root/build}"
"$root/scripts/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" \
          -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
