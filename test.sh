#!/usr/bin/env bash
# Tests: install what is missing, build, and run every test program under Wine
# (inside a virtual X display, since some tests open windows). Where this
# machine cannot run 32-bit programs, ctest runs inside an emulated guest
# (scripts/windows.sh says which, once). Arguments go to ctest; two tests run
# at once unless they say otherwise (-j N), one per core of our machines.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
# The release package's time stamps, where git may be missing (in the guest).
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)}"
. "$root/scripts/windows.sh"
windows_begin "$build"

"$root/scripts/build.sh"
cd "$build"
parallel=(-j2)
for arg in "$@"; do [[ "$arg" != -j* && "$arg" != --parallel* ]] || parallel=(); done
# The tests start a fresh server inside the X display.
windows_stage bash -c 'wine_run=$1; shift; "$wine_run" wineserver -k && exec xvfb-run -a ctest "$@"' \
    stage "$build/wine-run.sh" --test-dir "$build" --output-on-failure "${parallel[@]}" "$@"
