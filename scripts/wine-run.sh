#!/usr/bin/env bash
# The one way the project runs a Windows program: `wine-run.sh PROGRAM ARGS...`
# (or `wine-run.sh wineserver ARGS...`) does what scripts/wine-exec.sh does, with
# this working folder, the environment, standard input, output and exit status.
# Where the kernel runs 64-bit programs only (or KAVRO_VM=1), it does so inside
# the guest that the calling script started (windows_begin); called on its
# own, it boots a guest for this one command. Exit 125: the guest failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/windows.sh"
windows_decide 2>/dev/null || exit $?

if [ "$KAVRO_WINDOWS" = native ]; then
    exec "$here/wine-exec.sh" "$@"
fi

if [ -z "${KAVRO_GUEST_RUN:-}" ]; then
    echo "wine-run: booting a guest for this one command (scripts that run many keep one for the run)" >&2
    windows_begin "${WINEPREFIX:+$(dirname "$WINEPREFIX")}" "$PWD"
    "$0" "$@"
    exit $?
fi

run="$KAVRO_GUEST_RUN"
until [ -f "$run/up" ]; do
    if [ -f "$run/failed" ]; then
        echo "wine-run: $(cat "$run/failed")" >&2
        exit 125
    fi
    if ! kill -0 "$(cat "$run/keeper" 2>/dev/null)" 2>/dev/null; then
        echo "wine-run: the guest of this run ($run) is gone" >&2
        exit 125
    fi
    sleep 0.2
done

cwd=$(pwd -P)
visible=0
while IFS=" " read -r _ share; do [[ "$cwd/" == "$share/"* ]] && visible=1; done <"$run/share-paths"
if [ "$visible" = 0 ]; then
    echo "wine-run: the guest cannot see $cwd; run from the checkout or the build folder, or add it to KAVRO_GUEST_SHARES" >&2
    exit 125
fi

# The environment goes along, but for what belongs to this machine or session.
vars=()
while IFS= read -r -d '' entry; do
    name=${entry%%=*}
    [[ "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || continue
    case "$name" in
        PATH|HOME|SHELL|USER|LOGNAME|PWD|OLDPWD|SHLVL|_|HOSTNAME|MAIL|TMPDIR|DISPLAY|XAUTHORITY|\
        SSH_*|LD_*|XDG_*|DBUS_*|BASH*|KAVRO_GUEST_*|KAVRO_WINDOWS|MAKEFLAGS|MFLAGS|MAKELEVEL) continue ;;
    esac
    vars+=("$entry")
done < <(env -0)
# The guest has its own X display; a program given one here gets that one.
[ -z "${DISPLAY:-}" ] || vars+=(DISPLAY=:0)
vars+=(KAVRO_IN_GUEST=1)

# in_guest ARGS...: wine-exec.sh ARGS... in the guest, here and now.
in_guest() {
    local command word
    command="cd $(printf %q "$cwd") && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root"
    for word in "${vars[@]}" perl "$here/guest/relay.pl" bash "$here/wine-exec.sh" "$@"; do
        command+=" $(printf %q "$word")"
    done
    windows_guest "$command"
}

# A new prefix is a copy of the first one this guest made, taken before
# anything ran in it: the guest writes the host's folders slowly, and a new
# prefix is 600 MB (Wine copies its libraries into it).
if [ -n "${WINEPREFIX:-}" ] && [ ! -f "$WINEPREFIX/system.reg" ] && [ "${1:-}" != wineserver ]; then
    template="$(cat "$run/guest")/prefix"
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ ! -f "$WINEPREFIX/system.reg" ] || exit 0
        if [ -f "$template/system.reg" ]; then
            mkdir -p "$WINEPREFIX" && cp -a "$template/." "$WINEPREFIX/"
        else
            in_guest --prefix-only || exit 0
            ( flock 8; [ -d "$template" ] || { cp -a "$WINEPREFIX" "$template.partial" && mv "$template.partial" "$template"; } ) \
                8>"$template.lock"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
in_guest "$@"
