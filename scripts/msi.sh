#!/usr/bin/env bash
# Builds the Windows Installer package from a release staged by package.sh:
#   msi.sh STAGE VERSION OUTPUT
# deploy/Kavro.wxs declares it; its product name and maker come from the
# version block in frame/Kavro.rc, its version from VERSION (A.B.C.D).
# The ProductCode and the PackageCode are derived, not drawn: name-based UUIDs
# (version 5) in the UpgradeCode's namespace, the ProductCode from the version,
# the PackageCode from the version and the bytes of everything packaged. So the
# same version has the same ProductCode (Windows Installer then refuses a
# different package of it), and the same inputs give the same codes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
stage="$(cd "${1:?usage: msi.sh STAGE VERSION OUTPUT}" && pwd)"
version="${2:?usage: msi.sh STAGE VERSION OUTPUT}"
out="${3:?usage: msi.sh STAGE VERSION OUTPUT}"
wxs="$root/deploy/Kavro.wxs"
rc="$root/frame/Kavro.rc"
fail() { echo "msi: $*" >&2; exit 1; }

text_of() { sed -n "s/^ *VALUE *\"$1\", *\"\([^\"]*\)\".*/\1/p" "$rc" | head -n 1; }
name=$(text_of ProductName)
maker=$(text_of CompanyName)
[ -n "$name" ] && [ -n "$maker" ] || fail "no ProductName or CompanyName in the version block of $rc"

# Windows Installer compares the first three fields of a version only, at
# most 255.255.65535. The version block's own text writes A.B.C.D as
# A.B.000D with C always 0, so the package's version is A.B.D.
IFS=. read -r major minor build revision <<<"$version"
[ "$build" = 0 ] && [ "$major" -le 255 ] && [ "$minor" -le 255 ] && [ "$revision" -le 65535 ] ||
    fail "the version $version has no Windows Installer form A.B.D: it needs C = 0, A and B up to 255, D up to 65535"
product_version="$major.$minor.$revision"

upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$wxs")
[ -n "$upgrade_code" ] || fail "no UpgradeCode in $wxs"
# A name-based UUID (RFC 4122 version 5, SHA-1) in the UpgradeCode's namespace.
name_uuid() {
    perl -MDigest::SHA=sha1 -e '
        my ($space, $name) = @ARGV;
        $space =~ tr/-//d;
        my @b = unpack("C16", sha1(pack("H32", $space) . $name));
        $b[6] = ($b[6] & 0x0F) | 0x50;
        $b[8] = ($b[8] & 0x3F) | 0x80;
        my $h = uc unpack("H32", pack("C16", @b));
        printf("%s-%s-%s-%s-%s\n", substr($h, 0, 8), substr($h, 8, 4), substr($h, 12, 4), substr($h, 16, 4), substr($h, 20));
    ' "$upgrade_code" "$1"
}
product_code=$(name_uuid "ProductCode $product_version")
contents=$(cd "$stage" && find . -type f | LC_ALL=C sort | xargs -d '\n' sha256sum | cat - "$wxs" | sha256sum | cut -c1-64)
package_code=$(name_uuid "PackageCode $version $contents")

rm -f "$out" "$out.partial"
log=$(cd "$stage" && wixl -a x86 -o "$out.partial" -D ProductVersion="$product_version" \
          -D ProductName="$name" -D Manufacturer="$maker" -D ProductCode="$product_code" "$wxs" 2>&1) ||
    { echo "$log" >&2; rm -f "$out.partial"; fail "wixl failed on $wxs"; }
# wixl goes on past what it does not understand, with a warning: none may pass.
if grep -qiE 'warning|error|critical' <<<"$log"; then
    echo "$log" >&2
    rm -f "$out.partial"
    fail "wixl warned about $wxs"
fi
# wixl writes a rollback action (Execute="rollback") as an immediate one: its
# type is set here, 3410 = 18 (a program among the installed files) + 64 (its
# exit code ignored) + 256 + 1024 (rollback, in the script) + 2048 (not
# impersonated). And wixl draws the PackageCode (the summary's revision
# number); it is set here too.
msibuild "$out.partial" -q "UPDATE \`CustomAction\` SET \`Type\` = 3410 WHERE \`Action\` = 'X64HostsUndo'" ||
    { rm -f "$out.partial"; fail "msibuild could not mark X64HostsUndo as a rollback action"; }
msibuild "$out.partial" -s "$name" "$maker" "Intel;1033" "{$package_code}" ||
    { rm -f "$out.partial"; fail "msibuild could not set the PackageCode"; }
mv "$out.partial" "$out"
