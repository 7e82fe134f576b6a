#!/usr/bin/env bash
# 64-bit hosts, in one 64-bit prefix: the host's 32-bit installation, then
# install.cmd /x64hosts from the package; kavro doctor --x64; the 64-bit
# client's scenario through the surrogate; uninstall.cmd, after which no key
# that the installation wrote is left. Output of anything that starts the
# surrogate goes to files: the surrogate inherits it and never ends by itself.
# Usage: x64hosts.sh BUILD
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: x64hosts.sh BUILD}" && pwd)"
bin="$build/bin"
work="$build/x64-tests"
export KAVRO_WINE_ARCH=win64 WINEPREFIX="$work/prefix"
failures=0
started=$SECONDS

fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
stamp() { echo "-- $1 ($((SECONDS - started)) s)"; }
wine() { "$root/scripts/wine-run.sh" "$@"; }
windows_path() { local p="$1"; echo "Z:${p//\//\\}"; }
# cmd.exe runs the package's scripts; what they print goes to a file.
cmd_in_site() {
    local log="$work/$1.log"; shift
    (cd "$site" && wine cmd /c "$@" >"$log" 2>&1)
    local status=$?
    cat "$log"
    return "$status"
}
# The registry's class keys of both views, one a line, as the server saves them.
class_keys() {
    wine wineserver -k >/dev/null
    sed -n 's/^\[\(Software\\\\Classes\\\\[^]]*\)\].*/\1/p' "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | sort
}
trap 'wine wineserver -k >/dev/null 2>&1' EXIT

package="$("$root/scripts/package.sh" --zip "$build")" || { echo "FAILED: package.sh" >&2; exit 1; }
rm -rf "$work"
site="$work/site"
mkdir -p "$site" "$work/host"
unzip -q "$package" -d "$site" || { echo "FAILED: unzip $package" >&2; exit 1; }
cp "$site/simulator/HwDev.dll" "$site/simulator/terminals.json" "$site/"

. "$root/tests/x64/host.sh"
install_host "$work/host" "$bin"
class_keys >"$work/keys-before"
# ADO's interface keys as Windows has them: owned by TrustedInstaller, so an
# administrator may read them and nothing more. (Wine keeps a key's security
# only while its server runs: it is set after the last restart above, and
# checked again before the uninstallation.)
guids=(00000556-0000-0010-8000-00AA006D2EA4 0000054D-0000-0010-8000-00AA006D2EA4 00000569-0000-0010-8000-00AA006D2EA4)
ado=("${guids[@]/#/Interface\\{}")
ado=("${ado[@]/%/\}}")
# Each ADO key with its values and subkeys in the 64-bit view, as the server
# saved them (without the times of saving).
ado_keys() {
    local guid
    for guid in "${guids[@]}"; do
        head="[Software\\\\Classes\\\\Interface\\\\{$guid}" awk '
            /^\[/ { inside = index($0, ENVIRON["head"]) == 1; sub(/\] [0-9]+$/, "]") }
            inside && !/^#time=/' "$WINEPREFIX/system.reg"
    done
}
ado_keys >"$work/ado-before"
[ "$(grep -c '^\[' "$work/ado-before")" -ge 3 ] || { fail "ADO's interface keys are not in the 64-bit view"; cat "$work/ado-before"; }
wine "$bin/x64/x64-client.exe" protect "${ado[@]}" >"$work/protect.log" 2>&1 || { fail "protecting ADO's keys"; cat "$work/protect.log"; }
stamp "set-up done"

cmd_in_site install install.cmd /x64hosts || fail "install.cmd /x64hosts: exit $?"
grep -q "64-bit hosts can now use Kavro.clsMachine" "$work/install.log" || fail "install.cmd /x64hosts: no success line"
grep -q "_Collection (the Visual Basic runtime): copied into the 64-bit view" "$work/install.log" ||
    fail "install.cmd /x64hosts did not copy _Collection into the 64-bit view"

stamp "installed"
(cd "$site" && wine kavro.exe doctor --x64 >"$work/doctor.log" 2>&1) || fail "kavro doctor --x64: exit $?"
cat "$work/doctor.log"
[ "$(grep -c '^ok  *x64 ' "$work/doctor.log")" = 4 ] || fail "kavro doctor --x64: not 4 ok lines"

stamp "doctor done; the 64-bit client:"
wine "$bin/x64/x64-client.exe" >"$work/client.log" 2>&1
status=$?
cat "$work/client.log"
[ "$status" = 0 ] || fail "the 64-bit client's scenario: exit $status"
# (The surrogates stay until the server stops, at class_keys: each start of
# the server of a 64-bit prefix costs half a minute under emulation.)
stamp "client done"
wine "$bin/x64/x64-client.exe" protect --check "${ado[@]}" >"$work/protected.log" 2>&1 ||
    { fail "ADO's keys are no longer protected before uninstall.cmd"; cat "$work/protected.log"; }
cmd_in_site uninstall uninstall.cmd || fail "uninstall.cmd: exit $?"
grep -q "no longer registered" "$work/uninstall.log" || fail "uninstall.cmd: no success line"
grep -q "Removed interface _Collection from the 64-bit view" "$work/uninstall.log" ||
    fail "uninstall.cmd did not remove the copy of _Collection"
! grep -qi "refused" "$work/uninstall.log" || fail "uninstall.cmd met a key it may not write"
(cd "$site" && wine kavro.exe doctor --x64 >"$work/doctor-after.log" 2>&1)
[ $? = 1 ] || { fail "kavro doctor --x64 after uninstall.cmd: not exit 1"; cat "$work/doctor-after.log"; }
class_keys >"$work/keys-after"
left="$(comm -13 "$work/keys-before" "$work/keys-after")"
[ -z "$left" ] || { fail "uninstall.cmd left keys that install.cmd /x64hosts wrote:"; echo "$left" >&2; }
gone="$(comm -23 "$work/keys-before" "$work/keys-after")"
[ -z "$gone" ] || { fail "uninstall.cmd removed keys it did not write:"; echo "$gone" >&2; }
ado_keys >"$work/ado-after"
cmp -s "$work/ado-before" "$work/ado-after" ||
    { fail "ADO's keys changed:"; diff "$work/ado-before" "$work/ado-after" >&2; }

echo "test_x64hosts: $((SECONDS - started)) s, $failures failed"
[ "$failures" = 0 ]
