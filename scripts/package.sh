#!/usr/bin/env bash
# Writes the release packages from a built tree: build/dist/Kavro-<version>-win32.zip
# (unpacked and registered with install.cmd) and Kavro-<version>-win32.msi (Windows
# Installer, built by wixl), and prints their paths, one a line.
#   scripts/package.sh [--zip | --msi] [--version A.B.C.D] [--dist FOLDER] [BUILD]
# --zip or --msi writes that one only (the Windows stage of the tests has no
# wixl); --version names the packages as another version (the binaries keep
# theirs): the MSI test builds an older release from the same commit with it.
# The version, product name and maker come from the version block in
# frame/Kavro.rc. The zip's bytes are the same from the same commit: every entry
# has the commit's time, fixed permissions and a fixed place in the archive.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
usage="usage: package.sh [--zip | --msi] [--version A.B.C.D] [--dist FOLDER] [BUILD]"
kinds="zip msi" version="" dist=""
while [ $# -gt 0 ]; do
    case "$1" in
        --zip) kinds=zip ;;
        --msi) kinds=msi ;;
        --version) version="${2:?$usage}"; shift ;;
        --dist) dist="${2:?$usage}"; shift ;;
        -*) echo "package: unknown option $1; $usage" >&2; exit 2 ;;
        *) break ;;
    esac
    shift
done
build="$(cd "${1:-${KAVRO_BUILD:-$root/build}}" && pwd)"
bin="$build/bin"
for f in Kavro.dll kavro.exe HwDev.dll sample-terminals.json; do
    [ -f "$bin/$f" ] || { echo "package: $bin/$f is missing; build first (scripts/build.sh)" >&2; exit 1; }
done
tools=()
[[ "$kinds" != *zip* ]] || tools+=(zip)
[[ "$kinds" != *msi* ]] || tools+=(wixl msibuild)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { "$root/scripts/setup.sh"; break; }
done

rc="$root/frame/Kavro.rc"
version=${version:-$(sed -n 's/^FILEVERSION *\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' "$rc")}
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    { echo "package: the version \"$version\" is not A.B.C.D (FILEVERSION in frame/Kavro.rc, or --version)" >&2; exit 1; }
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)}

dist="${dist:-$build/dist}"
mkdir -p "$dist"
dist="$(cd "$dist" && pwd)"
stage="$dist/stage-$version"
rm -rf "$stage"
mkdir -p "$stage/simulator"
trap 'rm -rf "$stage"' EXIT

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

if [[ "$kinds" == *zip* ]]; then
    zipfile="$dist/Kavro-$version-win32.zip"
    rm -f "$zipfile"
    (cd "$stage" && TZ=UTC0 zip -q -X -D -9 "$zipfile" "${entries[@]}")
    echo "$zipfile"
fi
if [[ "$kinds" == *msi* ]]; then
    "$root/scripts/msi.sh" "$stage" "$version" "$dist/Kavro-$version-win32.msi"
    echo "$dist/Kavro-$version-win32.msi"
fi
