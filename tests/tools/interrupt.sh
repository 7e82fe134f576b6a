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
# kavro.exe marks each place's answer in its stage times: seven marks mean the
# search is down to 192.168.1.6 alone, whatever the order and pace of workers.
mkdir -p "$scratch/stages"
export KAVRO_STAGE_TIMES="Z:${scratch//\//\\}\\stages"
cd "$scratch"
"$build/wine-run.sh" "$build/bin/kavro.exe" --dll "Z:${build//\//\\}\\bin\\Kavro.dll" \
    discover --ip 192.168.1.1-8 --jobs 4 --place-timeout 3600 >out 2>&1 &
search=$!

# Wine names a Windows process by its command line, the program first (the
# shell and relay processes that started it name it later on theirs).
parent_pattern='^[^ ]*kavro\.exe .*discover --ip 192\.168\.1\.1-8 --jobs 4'
workers() { pgrep -fc '^[^ ]*kavro\.exe .*--worker'; }
answers() { cat "$scratch"/stages/*.txt 2>/dev/null | grep -c ' place_done '; }
for _ in $(seq 600); do
    [ "$(answers)" -lt 7 ] || break
    kill -0 "$search" 2>/dev/null || fail "kavro.exe ended before it was interrupted"
    sleep 1
done
[ "$(answers)" = 7 ] || fail "kavro.exe did not get the seven quick answers within ten minutes ($(answers))"
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
for _ in $(seq 60); do [ "$(workers)" != 0 ] || break; sleep 1; done
[ "$(workers)" = 0 ] || fail "a worker outlived the interrupted kavro.exe by a minute"
echo "interrupt: passed (exit status $status)"
