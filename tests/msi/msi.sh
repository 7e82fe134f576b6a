#!/usr/bin/env bash
# Kavro's Windows Installer package as an administrator meets it, with Wine's
# msiexec, each case in a fresh prefix of its own:
# - lifecycle (32-bit): an older release installed with the simulator, then
#   this one over it (one product left, its files), the same version refused,
#   kavro doctor; another copy registered over the installation and its
#   Kavro.dll deleted, the doctor's repair; the removal, after which the
#   registry and the folder are as before;
# - reference (32-bit): regsvr32 on Kavro.dll in the same place, to compare
#   the MSI's registration with key for key;
# - x64 (64-bit): the X64Hosts part as kavro doctor --x64 meets it, an older
#   release refused, the removal.
# The packages are made with the build (tests/msi/tests.cmake). Every
# msiexec writes its log beside the case's output. Usage: msi.sh BUILD
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: msi.sh BUILD}" && pwd)"
bin="$build/bin"
work="$build/msi-tests"
packages="$work/packages"
started=$SECONDS

fail() { echo "FAILED: $name: $*" >&2; failures=$((failures + 1)); }
stamp() { echo "-- $name: $1 ($((SECONDS - started)) s)"; }
wine() { "$root/scripts/wine-run.sh" "$@"; }
windows_path() { local p="$1"; echo "Z:${p//\//\\}"; }
. "$root/tests/x64/host.sh"

mapfile -t msis < <(ls "$packages"/Kavro-*-win32.msi 2>/dev/null | sort -V)
if [ "${#msis[@]}" != 2 ]; then
    echo "FAILED: $packages should hold this version's package and an older one (the build makes them), not: ${msis[*]}" >&2
    exit 1
fi
older=${msis[0]} newer=${msis[1]}
# The release as the package's name has it (8.70.0.4), and as Windows Installer does (8.70.4).
release_of() { local v=${1##*/Kavro-}; echo "${v%-win32.msi}"; }
product_version() { local a b c d; IFS=. read -r a b c d <<<"$(release_of "$1")"; echo "$a.$b.$d"; }

# Keys of the component's registration: its class, ProgID, type library and interface.
ours='db425c72-b048-4af3-9725-ac921fe68fbf|50d19ef4-52e5-4f52-8ecf-84f4fa6f66e1|8019cf74-6456-4b75-a9c3-26219b358518|kavro\.clsmachine'

# Every key and value of the prefix's registry, one a line ("hive [key] value"),
# key names in lower case (Wine spells an existing "Typelib"), without the times
# of saving, as the server saves them when it stops.
registry() {
    wine wineserver -k >/dev/null
    local hive
    for hive in system user; do
        awk -v hive="$hive" '
            /^\[/ { key = tolower($0); sub(/\][^]]*$/, "]", key); print hive " " key; next }
            /^#/ || !NF { next }
            { print hive " " key " " $0 }' "$WINEPREFIX/$hive.reg"
    done | LC_ALL=C sort
}

# The registry as a removal is judged by: Windows Installer's own store keeps
# its empty folders once used (Windows has them from the start), and Wine
# writes its display driver's date at every start.
comparable() {
    grep -vE '^system \[(software\\\\classes\\\\installer\\\\(features|products|upgradecodes)|software\\\\microsoft\\\\windows\\\\currentversion\\\\installer\\\\(upgradecodes|userdata\\\\s-1-5-18\\\\(components|products)))\]$' "$1" |
        grep -v '"DriverDateData"='
}

# removed_cleanly: the registry after the removal as it was before the installation.
removed_cleanly() {
    registry >"$folder/after"
    if ! cmp -s <(comparable "$folder/before") <(comparable "$folder/after"); then
        fail "the registry after the removal is not as before the installation (< before, > after):"
        diff <(comparable "$folder/before") <(comparable "$folder/after")
    fi
}

# msiexec STEP EXPECTED ARGS...: msiexec with its log in STEP.log; Wine hands
# on a Windows exit code modulo 256 (1603 arrives as 67).
msiexec() {
    local step="$1" want="$2" status=0
    shift 2
    wine msiexec "$@" /l*v "$(windows_path "$folder/$step.log")" >"$folder/$step.out" 2>&1 || status=$?
    if [ "$status" != $((want % 256)) ]; then
        fail "msiexec $* exited with $status, not $want ($step.log's end follows)"
        cat "$folder/$step.out"
        tail -n 30 "$folder/$step.log" 2>/dev/null | tr -d '\r'
    fi
}

# doctor EXPECTED-EXIT PROBLEMS WARNINGS [ARGS]: kavro doctor from the
# installation's folder, with exactly these checks as problems and warnings.
doctor() {
    local want="$1" problems="$2" warnings="$3" status=0 got warned
    shift 3
    (cd "$install" && wine "$install/kavro.exe" doctor "$@" >"$folder/doctor.out" 2>&1) || status=$?
    got="$(sed -n 's/^problem  \([^:]*\):.*/\1/p' "$folder/doctor.out" | paste -sd, -)"
    warned="$(sed -n 's/^warning  \([^:]*\):.*/\1/p' "$folder/doctor.out" | paste -sd, -)"
    if [ "$status" != "$want" ] || [ "$got" != "$problems" ] || [ "$warned" != "$warnings" ]; then
        fail "kavro doctor $*: exit $status (want $want), problems [$got] (want [$problems]), warnings [$warned] (want [$warnings])"
        cat "$folder/doctor.out"
    fi
}

begin() {
    name="$1"
    folder="$work/$name"
    export WINEPREFIX="$folder/prefix"
    failures=0
    mkdir -p "$folder/host" || fail "no folder $folder/host"
}

# The file names, sizes and contents' sums of the installation's folder.
listing() { (cd "$install" 2>/dev/null && find . -type f -printf '%p %s\n' | sort && find . -type f -print0 | sort -z | xargs -0r md5sum); }

lifecycle() {
    begin lifecycle
    install="$WINEPREFIX/drive_c/Program Files/Kavro"
    cp "$bin/ZebMachine.dll" "$folder/host/" || fail "the host's stand-in not copied"
    wine regsvr32 /s "$(windows_path "$folder/host/ZebMachine.dll")" || fail "regsvr32 ZebMachine.dll: exit $?"
    registry >"$folder/before"
    stamp "the host installed"

    msiexec older 0 /i "$(windows_path "$older")" /qn ADDLOCAL=Simulator
    grep -q "^Kavro $(release_of "$older") " "$install/README.txt" || fail "README.txt is not the older release's"
    [ -f "$install/HwDev.dll" ] && [ -f "$install/terminals.json" ] || fail "ADDLOCAL=Simulator did not install the simulator"
    # The parts are named again: Wine does not carry them over (MigrateFeatureStates does nothing).
    msiexec upgrade 0 /i "$(windows_path "$newer")" /qn ADDLOCAL=Simulator
    grep -q "^Kavro $(release_of "$newer") " "$install/README.txt" || fail "the upgrade did not replace README.txt"
    cmp -s "$install/Kavro.dll" "$bin/Kavro.dll" || fail "the upgrade did not leave this build's Kavro.dll"
    listing >"$folder/files-upgraded"
    msiexec again 1603 /i "$(windows_path "$newer")" /qn
    listing | cmp -s - "$folder/files-upgraded" || fail "the refused install of the same version changed the folder"
    stamp "installed, upgraded, the same version refused"

    local json status=0
    json="$(cd "$install" && wine "$install/kavro.exe" doctor --json)" || status=$?
    [ "$status" = 0 ] && ! grep -q '"ok": false' <<<"$json" && [ "$(grep -c '"check": ' <<<"$json")" = 11 ] &&
        grep -q "\"found\": \"Kavro $(product_version "$newer") (Windows Installer product {" <<<"$json" ||
        { fail "kavro doctor --json: exit $status, or not 11 checks all ok with the installer's product"; echo "$json"; }
    registry >"$folder/installed"
    grep -E "$ours" "$folder/installed" >"$work/msi.keys"
    local entries
    entries="$(grep -iE '^system \[software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\[^]]*\] "DisplayName"="Kavro"$' "$folder/installed")"
    [ "$(grep -c . <<<"$entries")" = 1 ] || { fail "not one entry in Apps and features after the upgrade:"; echo "$entries"; }
    grep -qiF "$(sed 's/\] .*/]/' <<<"$entries" | head -n 1) \"DisplayVersion\"=\"$(product_version "$newer")\"" "$folder/installed" ||
        fail "the entry in Apps and features is not version $(product_version "$newer")"
    stamp "the doctor and the registry read"

    # Someone registers another copy over the installation, and its Kavro.dll goes.
    # (The simulator beside kavro.exe is then not beside the registered Kavro.dll.)
    mkdir -p "$folder/other" && cp "$install/Kavro.dll" "$folder/other/" && rm "$install/Kavro.dll" ||
        fail "the other copy not made"
    wine regsvr32 /s "$(windows_path "$folder/other/Kavro.dll")" || fail "regsvr32 on the other copy: exit $?"
    doctor 1 "installer,HwDev.dll" ""
    local repair product
    repair="$(grep -o 'msiexec /i {[0-9A-F-]*} REINSTALL=ALL REINSTALLMODE=amus' "$folder/doctor.out" | head -n 1)"
    product="$(grep -o '{[0-9A-F-]*}' <<<"$repair")"
    [ -n "$product" ] || { fail "the doctor names no repair (msiexec /i {PRODUCT} REINSTALL=ALL ...)"; return "$failures"; }
    # Its fix: unregister that copy, then the repair it names.
    wine regsvr32 /u /s "$(windows_path "$folder/other/Kavro.dll")" || fail "regsvr32 /u on the other copy: exit $?"
    msiexec repair 0 ${repair#msiexec } /qn
    cmp -s "$install/Kavro.dll" "$bin/Kavro.dll" || fail "the repair did not put Kavro.dll back"
    doctor 0 "" "HwDev.dll"
    stamp "the other copy found and the repair done"

    echo "the site's own notes" >"$install/site-notes.txt" || fail "no file of the site's own"
    msiexec remove 0 /x "$product" /qn
    removed_cleanly
    left="$(cd "$install" 2>/dev/null && ls -A)"
    [ "$left" = site-notes.txt ] || fail "the folder after the removal holds [$left], not only the site's own file"
    stamp "removed"
    return "$failures"
}

reference() {
    begin reference
    wine --prefix-only && mkdir -p "$WINEPREFIX/drive_c/Program Files/Kavro" &&
        cp "$bin/Kavro.dll" "$WINEPREFIX/drive_c/Program Files/Kavro/" || fail "Kavro.dll not placed in a new prefix"
    wine regsvr32 /s 'C:\Program Files\Kavro\Kavro.dll' || fail "regsvr32 Kavro.dll: exit $?"
    registry | grep -E "$ours" >"$work/regsvr32.keys"
    stamp "registered"
    return "$failures"
}

x64() {
    export KAVRO_WINE_ARCH=win64
    begin x64
    install="$WINEPREFIX/drive_c/Program Files (x86)/Kavro"
    install_host "$folder/host" "$bin"
    registry >"$folder/before"
    stamp "the host installed"

    msiexec install 0 /i "$(windows_path "$newer")" /qn ADDLOCAL=X64Hosts
    [ -f "$install/Kavro.dll" ] && [ ! -e "$install/HwDev.dll" ] ||
        fail "ADDLOCAL=X64Hosts did not install Kavro.dll alone, without the simulator: $(ls -A "$install")"
    # The surrogate the doctor starts inherits its output and never ends by itself.
    (cd "$install" && wine "$install/kavro.exe" doctor --x64 >"$folder/doctor.out" 2>&1) || fail "kavro doctor --x64: exit $?"
    [ "$(grep -c '^ok  *x64 ' "$folder/doctor.out")" = 4 ] || { fail "kavro doctor --x64: not 4 ok lines"; cat "$folder/doctor.out"; }
    wine taskkill /f /im dllhost.exe >/dev/null 2>&1 || fail "the surrogate could not be ended"
    msiexec downgrade 1603 /i "$(windows_path "$older")" /qn
    grep -q "^Kavro $(release_of "$newer") " "$install/README.txt" || fail "the refused older release changed README.txt"
    stamp "installed with X64Hosts, checked, the older release refused"

    msiexec remove 0 /x "$(windows_path "$newer")" /qn
    removed_cleanly
    [ ! -e "$install" ] || fail "the folder is still there after the removal: $(ls -A "$install")"
    stamp "removed"
    return "$failures"
}

rm -rf "$work/lifecycle" "$work/reference" "$work/x64" "$work"/*.keys "$work"/*.log
# Two cases at a time (the guest has two processors), each with its own
# prefix, server and log; a case's exit status is its number of failures.
run() {
    (
        "$1"
        status=$?
        wine wineserver -k >/dev/null 2>&1
        exit "$status"
    ) >"$work/$1.log" 2>&1
}
run lifecycle & lifecycle_pid=$!
run reference
reference_status=$?
run x64 & x64_pid=$!
wait "$lifecycle_pid"
lifecycle_status=$?
wait "$x64_pid"
x64_status=$?

failed=()
for case in lifecycle reference x64; do
    status="${case}_status"
    echo "== $case"
    cat "$work/$case.log"
    [ "${!status}" = 0 ] || { echo "== $case: FAILED (exit ${!status})"; failed+=("$case"); }
done
# The MSI's registration against regsvr32's, Kavro.dll in the same place.
if [ "${#failed[@]}" = 0 ] && ! cmp -s "$work/regsvr32.keys" "$work/msi.keys"; then
    echo "FAILED: the MSI's registration is not regsvr32's (< regsvr32, > msiexec):" >&2
    diff "$work/regsvr32.keys" "$work/msi.keys"
    failed+=(registration)
fi
echo "test_msi: $((SECONDS - started)) s"
if [ "${#failed[@]}" != 0 ]; then
    echo "test_msi: failed: ${failed[*]}" >&2
    exit 1
fi
echo "test_msi: all cases passed"
