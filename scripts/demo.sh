#!/usr/bin/env bash
# The walk-through of ./run.sh: registers Kavro.dll in the build's prefix, then
# kavro.exe drives it against the simulated terminals of the sample terminal
# file, in a scratch folder of the build. Every step must succeed; the last ones check that the
# fingerprint arrived and that the punches are gone. Usage: demo.sh BUILD
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: demo.sh BUILD}" && pwd)"
export WINEPREFIX="$build/wineprefix"
scratch="$build/demo"
started=$(date +%s)

fail() { echo "demo: $*" >&2; exit 1; }
trap 'fail "line $LINENO failed: $BASH_COMMAND"' ERR
# run COMMAND...: a step's command. Its output goes on as usual; if it fails,
# its command line, exit status and everything it printed go to stderr.
run() {
    local out status=0 errors="$build/demo-step.err"
    out="$("$@" 2>"$errors")" || status=$?
    if [ "$status" != 0 ]; then
        { printf '%s\n' "$out"; cat "$errors"; } >&2
        fail "this command failed with exit code $status: $*"
    fi
    cat "$errors" >&2
    [ -z "$out" ] || printf '%s\n' "$out"
}

run "$build/wine-run.sh" regsvr32 /s "$build/bin/Kavro.dll"
echo "Kavro.dll is registered in $WINEPREFIX (kavro.exe serves the host's classes itself)."
rm -rf "$scratch"
mkdir -p "$scratch"
cp "$root/standins/hwdev/sample-terminals.json" "$scratch/terminals.json"
# The simulator inside HwDev.dll reads and updates this file.
export HWSIM_TERMINALS="Z:${scratch//\//\\}\\terminals.json"

kavro() { (cd "$scratch" && run "$build/wine-run.sh" "$build/bin/kavro.exe" "$@"); }
# Prints a heading and the command line, quoting the arguments that hold blanks.
step() {
    local shown=""
    for a in "${@:2}"; do [[ "$a" == *" "* ]] && shown+=" \"$a\"" || shown+=" $a"; done
    printf '\n== %s\n$ kavro%s\n' "$1" "$shown"
}

# docs/kavro-exe.md shows kavro --help in the fenced block after "<!-- kavro --help -->".
documented="$(awk '/^<!-- kavro --help -->$/ { marked = 1; next }
                   marked && /^```/ { if (inside) exit; inside = 1; next }
                   inside' "$root/docs/kavro-exe.md")"
printed="$(kavro --help | tr -d '\r')"
if [ "$printed" != "$documented" ]; then
    diff <(printf '%s\n' "$documented") <(printf '%s\n' "$printed") >&2 || true
    fail "kavro --help differs from docs/kavro-exe.md (above: - the page, + the program); put the program's text there"
fi

# Four workers, not the default sixteen: each process start is dear under emulation.
step "Discovery over a network range: one call per address, by four worker processes at once, each terminal that answers listed" \
     discover --ip 192.168.1.200-210 --jobs 4
kavro discover --ip 192.168.1.200-210 --jobs 4

step "Discovery over serial ports 1 to 4" discover --port 1-4
kavro discover --port 1-4

step "Download: the punch records of the terminal at 192.168.1.201 (first ten shown)" download --ip 192.168.1.201
punches="$(kavro download --ip 192.168.1.201)"
head -n 11 <<<"$punches"
echo "..."
tail -n 1 <<<"$punches"

step "Backup: employee 1003's fingerprint from 192.168.1.201 into the store fingerprints.json" \
     backup --ip 192.168.1.201 --person 1003
kavro backup --ip 192.168.1.201 --person 1003
sed -E 's/("bFingerprint": ")(.{32})[^"]*"/\1\2..."/' "$scratch/fingerprints.json"

step "Restore: the stored fingerprint of employee 1003 written to the terminal at 192.168.1.202" \
     restore --ip 192.168.1.202 --person 1003 --text "Front desk"
kavro restore --ip 192.168.1.202 --person 1003 --text "Front desk"
kavro backup --ip 192.168.1.202 --person 1003 --store arrived.json >/dev/null
[ "$(grep bFingerprint "$scratch/arrived.json")" = "$(grep bFingerprint "$scratch/fingerprints.json")" ] ||
    fail "the template read back from 192.168.1.202 differs from the one sent"
echo "Read back from 192.168.1.202: the same template."

step "Clear: the punch records of 192.168.1.201 erased (--yes: no question)" clear --ip 192.168.1.201 --yes
kavro clear --ip 192.168.1.201 --yes

step "Download again: no punches left" download --ip 192.168.1.201
after="$(kavro download --ip 192.168.1.201)"
echo "$after"
[ "$after" = "0 punches on terminal 1 at 192.168.1.201." ] || fail "punches are still there after clear"

printf '\nDemo finished in %s s.\n' "$(( $(date +%s) - started ))"
