#!/usr/bin/env bash
# The runner of Windows programs, tried in a prefix of its own on whichever
# path this machine takes: the exit status, standard input, the environment
# and the working folder come through; a $(... 2>&1) ends with its program,
# even when the program leaves a child holding its output; stopping the
# server twice is harmless, and what the registry got before is saved.
# Usage: runner.sh BUILD
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: runner.sh BUILD}" && pwd)"
scratch="$build/runner-test"
export WINEPREFIX="$scratch/prefix"
wine() { "$root/scripts/wine-run.sh" "$@"; }
probe="$build/bin/runner-probe.exe"
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
now_ms() { date +%s%3N; }

[ -f "$WINEPREFIX/system.reg" ] || rm -rf "$scratch"
mkdir -p "$scratch/folder with blanks"

wine cmd /c exit 7 </dev/null >/dev/null 2>&1
status=$?
[ "$status" = 7 ] || fail "cmd /c exit 7 gave exit status $status"

out="$(cd "$scratch/folder with blanks" && echo "a line in" | KAVRO_PROBE='x y=z' wine "$probe" echo 2>&1)"
out="${out//$'\r'/}"
want=$'stdin: a line in\nenv: x y=z\ncwd: Z:'"${scratch//\//\\}"'\folder with blanks'
[ "$out" = "$want" ] || fail "what the program was given: got [$out], want [$want]"

# The child sleeps 30 s with the program's output; the capture must not wait
# for it. Half the child's sleep tells the two apart on a machine however
# loaded.
out="$(wine "$probe" linger 30 2>&1)"
returned=$(now_ms)
ended=$(sed -n 's/.*ended at \([0-9]*\).*/\1/p' <<<"$out")
if [ -z "$ended" ]; then
    fail "linger: no end time in [$out]"
elif [ $((returned - ended)) -ge 15000 ]; then
    fail "\$(... 2>&1) returned $((returned - ended)) ms after its program ended: it waited for the child (at most 15000)"
fi

wine reg add 'HKCU\Software\KavroRunnerTest' /v probe /d kept-past-the-stop /f >/dev/null 2>&1 ||
    fail "reg add failed"
wine wineserver -k || fail "the first wineserver -k: exit $?"
wine wineserver -k || fail "a second wineserver -k in a row: exit $?"
grep -q kept-past-the-stop "$WINEPREFIX/user.reg" ||
    fail "the value written before wineserver -k is not in $WINEPREFIX/user.reg"

if [ "$failures" != 0 ]; then
    echo "runner: $failures failed" >&2
    exit 1
fi
echo "runner: all passed"
