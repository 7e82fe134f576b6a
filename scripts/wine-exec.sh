#!/usr/bin/env bash
# Runs where Wine runs (here, or inside the guest): `wine-exec.sh PROGRAM ARGS...`
# runs a Windows program in the prefix WINEPREFIX, creating the prefix on first
# use (no .NET or HTML installers offered); `wine-exec.sh wineserver ARGS...`
# runs the prefix's server tool instead (wineserver -k stops it).
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
if [ "${1:-}" = wineserver ]; then
    shift
    exec wineserver "$@"
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
exec wine "$@"
