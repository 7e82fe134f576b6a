#!/usr/bin/env bash
# Main job: install what is missing, build Kavro.dll, the stand-ins and the
# tools, and register the stand-in host library and Kavro.dll in the build's
# Wine prefix (build/wineprefix).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="${KAVRO_BUILD:-$root/build}"
export WINEPREFIX="$build/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

"$root/scripts/build.sh"
"$build/wine-run.sh" regsvr32 /s "$build/bin/ZebMachine.dll"
"$build/wine-run.sh" regsvr32 /s "$build/bin/Kavro.dll"
echo "Built into $build/bin; Kavro.dll and the stand-in ZebMachine.dll are registered in $WINEPREFIX."
