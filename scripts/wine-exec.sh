#!/usr/bin/env bash
# Runs where Wine runs (here, or inside the guest): `wine-exec.sh PROGRAM ARGS...`
# runs a Windows program in the prefix WINEPREFIX, creating the prefix on first
# use (no .NET or HTML installers offered); `wine-exec.sh wineserver ARGS...`
# runs the prefix's server tool instead (wineserver -k stops it);
# `wine-exec.sh --prefix-only` creates the prefix if need be, and no more.
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# In the guest (the runner says so), the prefix's server is kept for the whole
# run: under emulation a server takes seconds to start and to stop, and a
# program that connects while the last one's server is stopping hangs.
in_guest=${KAVRO_IN_GUEST:-}
unset KAVRO_IN_GUEST

if [ "${1:-}" = wineserver ]; then
    shift
    [ -n "$in_guest" ] || exec wineserver "$@"
    wineserver "$@"
    status=$?
    [[ " $* " != *" -k "* ]] || wineserver -w
    exit "$status"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
            wineserver -w
        fi
    ) 9>"$WINEPREFIX.lock"
fi
[ "${1:-}" != --prefix-only ] || exit 0
# Starts one if none runs (exit status 2 when one does).
[ -z "$in_guest" ] || wineserver -p </dev/null >/dev/null 2>&1
exec wine "$@"
