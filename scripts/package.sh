#!/usr/bin/env bash
# Writes the release package build/dist/Kavro-<file version>-win32.zip from a
# built tree (scripts/package.sh [BUILD]; `cmake --build build --target dist`
# builds first). The same commit gives the same bytes: every entry has the
# commit's time, fixed permissions and a fixed place in the archive.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-${KAVRO_BUILD:-$root/build}}" && pwd)"
bin="$build/bin"
for f in Kavro.dll kavro.exe HwDev.dll sample-terminals.json; do
    [ -f "$bin/$f" ] || { echo "package: $bin/$f is missing; build first (scripts/build.sh)" >&2; exit 1; }
done
command -v zip >/dev/null || "$root/scripts/setup.sh"

version=$(sed -n 's/^FILEVERSION *\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' "$root/frame/Kavro.rc")
[ -n "$version" ] || { echo "package: no FILEVERSION in frame/Kavro.rc" >&2; exit 1; }
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)}

dist="$build/dist"
stage="$dist/stage"
zipfile="$dist/Kavro-$version-win32.zip"
rm -rf "$stage" "$zipfile"
mkdir -p "$stage/simulator"

crlf() { sed -e "s/@VERSION@/$version/g" -e 's/\r*$/\r/' "$1" >"$2"; }
cp "$bin/Kavro.dll" "$bin/kavro.exe" "$stage/"
crlf "$root/deploy/Kavro.manifest" "$stage/Kavro.manifest"
crlf "$root/deploy/README.txt" "$stage/README.txt"
crlf "$root/deploy/install.cmd" "$stage/install.cmd"
crlf "$root/deploy/uninstall.cmd" "$stage/uninstall.cmd"
cp "$bin/HwDev.dll" "$stage/simulator/HwDev.dll"
cp "$bin/sample-terminals.json" "$stage/simulator/terminals.json"
crlf "$root/deploy/simulator-NOTE.txt" "$stage/simulator/NOTE.txt"

entries=(Kavro.dll Kavro.manifest README.txt install.cmd kavro.exe uninstall.cmd
         simulator/HwDev.dll simulator/NOTE.txt simulator/terminals.json)
chmod 0644 "${entries[@]/#/$stage/}"
touch -h -d "@$stamp" "${entries[@]/#/$stage/}"
(cd "$stage" && TZ=UTC0 zip -q -X -D -9 "$zipfile" "${entries[@]}")
rm -rf "$stage"
echo "$zipfile"
