#!/usr/bin/env bash
# Main job: install what is missing, build everything (output in a log), register
# Kavro.dll in the build's Wine prefix, and walk through what the component does
# with kavro.exe against the simulated terminals (scripts/demo.sh, where Wine
# runs); then write the release packages (scripts/package.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
. "$root/scripts/windows.sh"
windows_begin "$build"

mkdir -p "$build"
log="$build/build.log"
started=$(date +%s)
echo "Building Kavro.dll, the stand-ins, kavro.exe and the tests into $build (log: $log) ..."
if ! "$root/scripts/build.sh" >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "The build failed; the whole output is in $log." >&2
    exit 1
fi
echo "Built in $(( $(date +%s) - started )) s."

windows_stage "$root/scripts/demo.sh" "$build"

packages=$("$root/scripts/package.sh" "$build")
echo
echo "The release packages for a site, the zip and the MSI (see README, Deployment):"
echo "$packages"
