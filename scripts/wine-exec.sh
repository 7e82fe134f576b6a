#!/usr/bin/env bash
# Runs where Wine runs (on this machine, or inside the guest): `wine-exec.sh
# PROGRAM ARGS...` runs a Windows program in the prefix WINEPREFIX, creating the
# prefix on first use; `wine-exec.sh wineserver ARGS...` runs the prefix's
# server tool instead; `wine-exec.sh --prefix-only` creates the prefix, no more.
#
# Three things differ from a bare `wine`, on every machine alike:
# - The command ends when its program ends, with all of its output (relay.pl):
#   Wine's background processes, and Windows programs it started, inherit the
#   output and outlive it.
# - The prefix's server is kept until `wineserver -k`: a program that connects
#   while the last one's server is stopping can hang, and under emulation a
#   server takes seconds to start. `wineserver -k` waits for the server to have
#   saved the registry and gone, and succeeds when none was running.
# - A new prefix is a copy of a pristine one made once per Wine version in
#   KAVRO_WINE_CACHE: wineboot takes seconds here and minutes under emulation.
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
here="$(cd "$(dirname "$0")" && pwd)"
export WINEDEBUG=${WINEDEBUG:--all}
# KAVRO_WINE_ARCH=win64: a 64-bit prefix (which runs 32-bit programs too), with
# Wine's 64-bit loader; Debian's `wine` is the 32-bit one when both are there.
export WINEARCH=${KAVRO_WINE_ARCH:-win32}
wine=wine
if [ "$WINEARCH" = win64 ]; then
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    [ -x "$wine" ] || { echo "wine: a 64-bit prefix needs Wine's 64-bit loader (Debian's wine64 package)" >&2; exit 125; }
fi

if [ "${1:-}" = wineserver ]; then
    shift
    if [[ " $* " == *" -k "* ]]; then
        wineserver "$@" >/dev/null 2>&1
        wineserver -w
        exit 0
    fi
    exec wineserver "$@"
fi

# new_prefix: WINEPREFIX made from the pristine prefix of this Wine (its
# version and the time of its setup file, which Wine compares to decide on
# updating a prefix). Wine's own modules and tables, 600 MB, which nothing
# writes, are links to the pristine copy; the rest (registry, settings) is
# copied.
new_prefix() {
    local cache="${KAVRO_WINE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro-wine}"
    local key template scratch
    key="$("$wine" --version 2>/dev/null)-$(stat -c %Y /usr/share/wine/wine.inf 2>/dev/null)"
    [ "$WINEARCH" = win32 ] || key+="-$WINEARCH"
    template="$cache/prefix-$(tr -c 'A-Za-z0-9.\n-' _ <<<"$key")"
    mkdir -p "$cache"
    if [ ! -f "$template/system.reg" ]; then
        (
            flock 8
            [ ! -f "$template/system.reg" ] || exit 0
            echo "wine: making the pristine Wine prefix $template (once per Wine version; minutes under emulation)" >&2
            scratch=$(mktemp -d) || exit 1
            # Made where the disk is quickest, then copied into the cache.
            WINEPREFIX="$scratch/prefix" WINEDLLOVERRIDES="mscoree=;mshtml=" "$wine" wineboot.exe -i >/dev/null 2>&1
            WINEPREFIX="$scratch/prefix" wineserver -w
            rm -f "$scratch/prefix/wineserver"
            # flock does not reach across guests sharing the cache: each maker
            # copies into a folder of its own, and one rename wins.
            local partial="$template.partial.$(hostname).$$"
            cp -a "$scratch/prefix" "$partial" &&
                (cd "$partial" && find . -regextype egrep -type f -iregex "$wine_modules" -exec chmod a-w {} +) &&
                { mv -T "$partial" "$template" 2>/dev/null || [ -f "$template/system.reg" ]; }
            status=$?
            chmod -R u+w "$partial" 2>/dev/null
            rm -rf "$scratch" "$partial"
            exit "$status"
        ) 8>"$template.lock" || { echo "wine: could not make the Wine prefix $template" >&2; return 1; }
    fi
    local partial="$WINEPREFIX.partial"
    mkdir -p "$partial" &&
        (cd "$template" && find . -regextype egrep ! -path ./wineserver ! \( -type f -iregex "$wine_modules" \) -print0) |
        tar -C "$template" --null --no-recursion -T - -cf - | tar -C "$partial" -xf - &&
        (cd "$template" && find . -regextype egrep -type f -iregex "$wine_modules" -print0) |
        T="$template" P="$partial" perl -0 -ne 'chomp; s{^\./}{}; symlink("$ENV{T}/$_", "$ENV{P}/$_") or die "wine: linking $_: $!\n"' &&
        mv -T "$partial" "$WINEPREFIX"
}
# Wine's modules and code page tables, by their paths in a prefix.
wine_modules='\./drive_c/.*\.(dll|exe|drv|sys|ocx|acm|cpl|ax|ds|tlb|vxd|nls)'

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ -f "$WINEPREFIX/system.reg" ] && exit 0
        rm -rf "$WINEPREFIX.partial"
        [ ! -d "$WINEPREFIX" ] || rmdir "$WINEPREFIX" 2>/dev/null ||
            { echo "wine: $WINEPREFIX is not a Wine prefix (no system.reg)" >&2; exit 1; }
        new_prefix
    ) 9>"$WINEPREFIX.lock" || exit 125
fi
if [ ! -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    echo "wine: the prefix $WINEPREFIX has lost Wine's own files (they are links into ${KAVRO_WINE_CACHE:-~/.cache/kavro-wine}, removed since?); remove the prefix and run again" >&2
    exit 125
fi
[ "${1:-}" != --prefix-only ] || exit 0
# Starts the prefix's server if none runs (exit status 2 when one does).
wineserver -p </dev/null >/dev/null 2>&1
exec perl "$here/relay.pl" "$wine" "$@"
