#!/usr/bin/env bash
# Tests: install what is missing, build, and run every test program under Wine
# (inside a virtual X display, since some tests open windows). Where this
# machine cannot run 32-bit programs, Wine runs in an emulated guest
# (scripts/windows.sh says which, once).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
. "$root/scripts/windows.sh"
windows_begin "$build"

"$root/scripts/build.sh"
"$root/scripts/wine-run.sh" wineserver -k >/dev/null 2>&1 || true   # tests start a fresh server inside the X display
xvfb-run -a ctest --test-dir "$build" --output-on-failure "$@"
