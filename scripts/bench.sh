#!/usr/bin/env bash
# Benchmark: builds everything, registers the stand-in host library and
# Kavro.dll in the build's Wine prefix, and runs kavro-bench there (where Wine
# runs); kavro-bench itself registers the platform's type libraries (Collection,
# ADO) where a test run left them unregistered, so every run measures the same
# set-up. Arguments go to kavro-bench (e.g. --json, --repetitions 9).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
. "$root/scripts/windows.sh"
windows_begin "$build"

"$root/scripts/build.sh" >/dev/null
windows_stage bash -c 'build=$1; shift
    "$build/wine-run.sh" regsvr32 /s "$build/bin/ZebMachine.dll" &&
    "$build/wine-run.sh" regsvr32 /s "$build/bin/Kavro.dll" &&
    exec "$build/wine-run.sh" "$build/bin/kavro-bench.exe" "$@"' stage "$build" "$@"
