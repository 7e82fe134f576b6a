#!/usr/bin/env bash
# The release package as a site meets it, each installation unpacked into a
# fresh Wine prefix of its own: use without registration through the
# manifests; kavro doctor against broken installations; install.cmd and
# uninstall.cmd. Usage: deploy.sh BUILD
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: deploy.sh BUILD}" && pwd)"
bin="$build/bin"
scratch="$build/deploy-tests"
package="$("$root/scripts/package.sh" --zip "$build")"
failures=0

fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
windows_path() { local p="$1"; echo "Z:${p//\//\\}"; }
wine() { "$root/scripts/wine-run.sh" "$@"; }

# case NAME: a fresh prefix and the package unpacked in NAME/site; the host
# stand-in waits in NAME/host for a registration of its own.
case_begin() {
    name="$1"
    folder="$scratch/$name"
    site="$folder/site"
    export WINEPREFIX="$folder/prefix"
    rm -rf "$folder"
    mkdir -p "$site" "$folder/host"
    unzip -q "$package" -d "$site"
    cp "$bin/ZebMachine.dll" "$folder/host/"
    started=$SECONDS
}
case_end() {
    wine wineserver -k >/dev/null
    echo "$name: $((SECONDS - started)) s"
    [ "$failures" != 0 ] || rm -rf "$folder"
}
simulator_beside() { cp "$site/simulator/HwDev.dll" "$site/simulator/terminals.json" "$site/"; }
register() { wine regsvr32 /s "$(windows_path "$1")" || fail "$name: regsvr32 $1"; }

# doctor EXPECTED-EXIT "PROBLEM CHECKS[|WARNING CHECKS]" [ARGS]: kavro doctor
# from the site folder, with exactly these checks reported as problems (and,
# after a "|", as warnings); when $said is set, the doctor must say it.
doctor() {
    local want="$1" problems="${2%%|*}" warnings="" out status=0
    [[ "$2" != *"|"* ]] || warnings="${2#*|}"
    local check_warnings="${2//[^|]/}"
    shift 2
    out="$(cd "$site" && wine "$site/kavro.exe" doctor "$@" 2>&1)" || status=$?
    local got warned
    got="$(sed -n 's/^problem  \([^:]*\):.*/\1/p' <<<"$out" | paste -sd, -)"
    warned="$(sed -n 's/^warning  \([^:]*\):.*/\1/p' <<<"$out" | paste -sd, -)"
    if [ "$status" != "$want" ] || [ "$got" != "$problems" ] || { [ -n "$check_warnings" ] && [ "$warned" != "$warnings" ]; }; then
        fail "$name: kavro doctor $*: exit $status (want $want), problems [$got] (want [$problems])${check_warnings:+, warnings [$warned] (want [$warnings])}"
        echo "$out" >&2
    elif [ -n "$problems" ] && [ "$(grep -c '^problem .*\. Fix: .' <<<"$out")" != "$(tr , '\n' <<<"$problems" | wc -l)" ]; then
        fail "$name: a problem without its fix"
        echo "$out" >&2
    elif [ -n "${said:-}" ] && ! grep -qiF -- "$said" <<<"$out"; then
        fail "$name: kavro doctor does not say \"$said\""
        echo "$out" >&2
    fi
}

# Every key the component or the host stand-in registers: none may appear
# where nothing was registered.
ours='DB425C72-B048-4AF3-9725-AC921FE68FBF|50D19EF4-52E5-4F52-8ECF-84F4FA6F66E1|8019CF74-6456-4B75-A9C3-26219B358518|Kavro\.clsMachine|8412B200-C9E2-4F23-9D1B-BC7C17B52E5A|DFA98BB6-7074-4DA5-94CB-7AF25B268D3F|8190AF0F-694A-4BDC-9FC1-513AAB934B8B|ED6A96EC-7DD6-4F25-879A-19DA1E37C165'

# The registry's class keys (machine and user), one a line, as the prefix's
# server saves them when it stops.
class_keys() {
    wine wineserver -k >/dev/null
    local hive
    for hive in system user; do
        sed -n 's/^\[\(Software\\\\Classes\\\\[^]]*\)\].*/\1/p' "$WINEPREFIX/$hive.reg" | sed "s/^/$hive:/"
    done | sort
}

# 1. Nothing registered: the doctor says so; then a host whose manifest depends
# on Kavro and on the host's classes does everything without the registry.
regfree() {
    case_begin regfree
    simulator_beside
    doctor 1 "host classes"
    doctor 2 "" --dll "$site/missing.dll"
    cp "$bin/RegFreeClient.exe" "$folder/host/ZebMachine.dll" "$root/tests/deploy/ZebMachine.manifest" "$site/"
    out="$(cd "$site" && wine "$site/RegFreeClient.exe" 2>&1)" || fail "regfree: the client failed"
    out="${out//$'\r'/}"
    grep -qx "punches 110" <<<"$out" && grep -qx "0 failed" <<<"$out" || { fail "regfree: client output"; echo "$out" >&2; }
    wine wineserver -k
    if grep -iEn "$ours" "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg"; then fail "regfree: the registry holds keys of ours"; fi
    case_end
}

# 2. A table of broken installations: everything registered and in place but
# for one thing each. The rows of a group run one after another in one prefix,
# each starting from the whole installation again (a new prefix costs its
# server's first start, half a minute under emulation): the vendor's library
# rows change only files beside Kavro.dll (or PATH); the registration rows
# register everything again, then break one thing.
broken() {
    case_begin "$1"
    registering="$2"
    shift 2
    [ "$registering" = 1 ] ||
        wine cmd /c "regsvr32 /s $(windows_path "$folder/host/ZebMachine.dll") && regsvr32 /s $(windows_path "$site/Kavro.dll")" \
            >/dev/null || fail "$name: registering"
    local row
    for row in "$@"; do broken_row "${row%% *}" "${row#* }"; done
    case_end
}
vendor_library() {
    broken vendor-library 0 "no-hwdev HwDev.dll" "hwdev-64bit HwDev.dll" "hwdev-on-path HwDev.dll" \
        "simulator-with-site |HwDev.dll" "simulator-without-site HwDev.dll" "simulator-malformed-site HwDev.dll"
}
registrations() {
    broken registrations 1 "file-deleted server" "threading-model threading model" "typelib-missing type library" \
        "server-unloadable creation" "host-unregistered host classes" "manifest-beside |HwDev.dll" \
        "manifest-wrong-clsid manifest"
}

# broken_row NAME "PROBLEM CHECKS[|WARNING CHECKS]"
broken_row() {
    local name="$1" said=""
    # The installation as unpacked, with nothing of an earlier row left.
    rm -rf "$site/HwDev.dll" "$site/terminals.json" "$folder/vendor"
    unzip -qo "$package" Kavro.dll Kavro.manifest -d "$site" || fail "$name: the package's files not restored"
    local path=""
    case "$1" in
        no-hwdev) ;;
        hwdev-64bit) cp "$bin/x64/HwDev.dll" "$site/" || fail "$name: no 64-bit HwDev.dll"; said="64-bit" ;;
        hwdev-on-path)
            mkdir "$folder/vendor" && cp "$site/simulator/HwDev.dll" "$site/simulator/terminals.json" "$folder/vendor/" ||
                fail "$name: no simulator on PATH"
            path="$(windows_path "$folder/vendor")"
            said="$path" ;;
        *) simulator_beside ;;
    esac
    [ "$1" != simulator-without-site ] || rm "$site/terminals.json"
    if [ "$1" = simulator-malformed-site ]; then
        printf '{"terminals": [ {"ip": ' >"$site/terminals.json" || fail "$name: terminals.json not written"
        said="terminals.json"
    fi
    # One command line for the registrations and the damage: each program
    # started in the guest costs seconds. Rows named manifest-* leave
    # Kavro.dll unregistered, with the package's Kavro.manifest beside it.
    if [ "$registering" = 1 ]; then
        local steps=("regsvr32 /s $(windows_path "$folder/host/ZebMachine.dll")" "regsvr32 /s $(windows_path "$site/Kavro.dll")")
        local class='HKCR\CLSID\{DB425C72-B048-4AF3-9725-AC921FE68FBF}'
        case "$1" in
            host-unregistered) steps+=("regsvr32 /u /s $(windows_path "$folder/host/ZebMachine.dll")") ;;
            manifest-*) steps+=("regsvr32 /u /s $(windows_path "$site/Kavro.dll")") ;;
            threading-model) steps+=("reg add $class\InprocServer32 /v ThreadingModel /d Free /f") ;;
            typelib-missing) steps+=('reg delete HKCR\TypeLib\{50D19EF4-52E5-4F52-8ECF-84F4FA6F66E1} /f') ;;
        esac
        local setup
        setup="$(printf ' && %s' "${steps[@]}")"
        wine cmd /c "${setup# && }" >/dev/null || fail "$name: ${setup# && }"
    fi
    case "$1" in
        file-deleted) rm "$site/Kavro.dll" ;;
        server-unloadable)
            # Registered and whole, but importing a DLL that no Windows has.
            perl -0777 -pi -e 's/oleaut32\.dll/OLEAUTXX.dll/gi' "$site/Kavro.dll" &&
                grep -qa OLEAUTXX "$site/Kavro.dll" || fail "$name: Kavro.dll's imports not damaged"
            said="OLEAUTXX.dll" ;;
        manifest-wrong-clsid)
            said="{11111111-2222-3333-4444-555555555555}"
            sed -i "s/clsid=\"{DB425C72-B048-4AF3-9725-AC921FE68FBF}\"/clsid=\"$said\"/" "$site/Kavro.manifest" &&
                grep -qF "$said" "$site/Kavro.manifest" || fail "$name: Kavro.manifest not changed" ;;
    esac
    local want=1
    [ -n "${2%%|*}" ] || want=0
    WINEPATH="$path" doctor "$want" "$2"
    echo "$name: checked ($((SECONDS - started)) s into its group)"
}

# 3. install.cmd and uninstall.cmd, with the simulator and a registered host:
# the doctor passes in between, and uninstalling leaves no key installing wrote.
install_cycle() {
    case_begin install
    simulator_beside
    register "$folder/host/ZebMachine.dll"
    class_keys >"$folder/before"
    out="$(wine cmd /c "$(windows_path "$site/install.cmd")" 2>&1)" || fail "install.cmd: exit $?"
    grep -q "Kavro.dll is registered" <<<"$out" || { fail "install.cmd: output"; echo "$out" >&2; }
    local json status=0
    json="$(cd "$site" && wine "$site/kavro.exe" doctor --json)" || status=$?
    [ "$status" = 0 ] && ! grep -q '"ok": false' <<<"$json" &&
        [ "$(grep -c '"check": ' <<<"$json")" = 11 ] && grep -q '"found": "Windows .*, under Wine ' <<<"$json" ||
        { fail "install: doctor --json, exit $status"; echo "$json" >&2; }
    out="$(wine cmd /c "$(windows_path "$site/uninstall.cmd")" 2>&1)" || fail "uninstall.cmd: exit $?"
    grep -q "no longer registered" <<<"$out" || { fail "uninstall.cmd: output"; echo "$out" >&2; }
    class_keys >"$folder/after"
    left="$(comm -13 "$folder/before" "$folder/after")"
    [ -z "$left" ] || { fail "uninstall.cmd left keys that install.cmd wrote"; echo "$left" >&2; }
    case_end
}

rm -rf "$scratch"
mkdir -p "$scratch"
# Two installations at a time, each with its own prefix, server and log. A
# case's exit status is its number of failures; a step that dies says where.
jobs=(registrations vendor_library install_cycle regfree)
declare -A job_of=()
failed=()
running=0
# Waits for one case and prints its heading, its log and how it ended.
settle() {
    local pid status=0 i
    wait -n -p pid || status=$?
    running=$((running - 1))
    i=${job_of[$pid]}
    read -r function case _ <<<"${jobs[$i]}"
    echo "== ${case:-$function}"
    cat "$scratch/$i.log"
    if [ "$status" != 0 ]; then
        echo "== ${case:-$function}: FAILED (exit $status)"
        failed+=("${case:-$function}")
    fi
}
for i in "${!jobs[@]}"; do
    [ "$running" -lt 2 ] || settle
    read -r function case problems <<<"${jobs[$i]}"
    (
        name=${case:-$function}
        set -E
        trap 'echo "FAILED: $name: line $LINENO: $BASH_COMMAND (exit $?)" >&2' ERR
        failures=0
        "$function" ${case:+"$case"} ${problems:+"$problems"}
        exit "$failures"
    ) >"$scratch/$i.log" 2>&1 &
    job_of[$!]=$i
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do settle; done

if [ "${#failed[@]}" != 0 ]; then
    echo "deployment: ${#failed[@]} of ${#jobs[@]} cases failed: ${failed[*]}" >&2
    exit 1
fi
echo "deployment: all ${#jobs[@]} cases passed"
