#!/usr/bin/env bash
# Ctrl+C during a search by worker processes, delivered as a terminal delivers
# it (SIGINT to kavro.exe): what was found so far is printed before the exit,
# and no worker is left. Usage: interrupt.sh BUILD
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: interrupt.sh BUILD}" && pwd)"
scratch="$build/interrupt-test"
rm -rf "$scratch"
mkdir -p "$scratch"
fail() { echo "FAILED: $*" >&2; echo "its output:" >&2; cat "$scratch/out" >&2; exit 1; }
# 192.168.1.6 answers after ten minutes: its worker is the last one searching.
cat >"$scratch/terminals.json" <<'JSON'
{"absent_ms": 100, "terminals": [{"ip": "192.168.1.3", "number": 1},
                                 {"ip": "192.168.1.6", "number": 1, "latency_ms": 600000}]}
JSON
export HWSIM_TERMINALS="Z:${scratch//\//\\}\\terminals.json"
cd "$scratch"
"$build/wine-run.sh" "$build/bin/kavro.exe" --dll "Z:${build//\//\\}\\bin\\Kavro.dll" \
    discover --ip 192.168.1.1-8 --jobs 4 --place-timeout 3600 >out 2>&1 &
search=$!

# Wine names a Windows process by its command line, the program first (the
# shell and relay processes that started it name it later on theirs).
parent_pattern='^[^ ]*kavro\.exe .*discover --ip 192\.168\.1\.1-8 --jobs 4'
workers() { pgrep -fc '^[^ ]*kavro\.exe .*--worker'; }
seen=0 alone=0
for _ in $(seq 600); do
    n=$(workers)
    [ "$n" -lt 2 ] || seen=1
    if [ "$seen" = 1 ] && [ "$n" = 1 ]; then alone=$((alone + 1)); else alone=0; fi
    [ "$alone" -lt 3 ] || break
    kill -0 "$search" 2>/dev/null || fail "kavro.exe ended before it was interrupted"
    sleep 1
done
[ "$alone" -ge 3 ] || fail "the worker searching 192.168.1.6 was never the last one left"
parent=$(pgrep -f "$parent_pattern" | head -n 1)
[ -n "$parent" ] || fail "kavro.exe's process is not found"
kill -INT "$parent"
for _ in $(seq 60); do kill -0 "$search" 2>/dev/null || break; sleep 1; done
kill -0 "$search" 2>/dev/null && fail "kavro.exe did not end within 60 s of Ctrl+C"
wait "$search"
status=$?
[ "$status" != 0 ] || fail "an interrupted search exited 0"
out="$(tr -d '\r' <out)"
for says in "network  192.168.1.3      imachineno=" \
            "1 terminal found; searched 7 of 8 addresses with terminal numbers 1-1 (interrupted by Ctrl+C)."; do
    grep -qF -- "$says" <<<"$out" || fail "expected \"$says\""
done
sleep 2
[ "$(workers)" = 0 ] || fail "a worker outlived the interrupted kavro.exe"
echo "interrupt: passed (exit status $status)"
