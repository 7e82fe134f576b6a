#!/usr/bin/env bash
# Tests: install what is missing, build, and run every test program under Wine
# (inside a virtual X display, since some tests open windows).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

"$root/scripts/build.sh"
wineserver -k >/dev/null 2>&1 || true   # tests start a fresh server inside the X display
xvfb-run -a ctest --test-dir "$build" --output-on-failure "$@"
