# Where Windows programs run, for the scripts that run them (sourced).
# On a machine that runs 32-bit programs: Wine, directly. On one whose kernel
# runs 64-bit programs only: Wine inside an emulated guest (scripts/guest),
# booted once per script. There the whole stage that runs Windows programs
# (ctest, the demo, the benchmark) runs inside the guest as one command, and
# takes the direct way there, so both kinds of machine run the same scripts.
# KAVRO_VM=1 or KAVRO_VM=0 forces either way.
#
#   windows_begin   decide, say in one line which way and why, install what
#                   that way needs, and start the guest if there is one
#   windows_stage   run a command (a shell script, ctest ...) where Wine runs
#   windows_end     stop the prefix's Wine server and the guest (on every path)

kavro_scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Runs a tiny 32-bit x86 Linux program (exit(42) through int 0x80) and tells
# whether the kernel ran it. A folder mounted noexec is no answer: the next is tried.
windows_runs_i386() {
    local folder probe status
    for folder in "${TMPDIR:-/tmp}" "$HOME" "$kavro_scripts"; do
        probe=$(mktemp "$folder/.kavro-i386.XXXXXX" 2>/dev/null) || continue
        printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >"$probe"
        chmod +x "$probe"
        windows_probe_error=$("$probe" 2>&1)
        status=$?
        rm -f "$probe"
        [ "$status" = 42 ] && return 0
        [[ "$windows_probe_error" == *"Permission denied"* ]] || break
    done
    windows_probe_error=${windows_probe_error##*: }
    return 1
}

# Sets KAVRO_WINDOWS to "native" or "guest" (once: an outer script's choice
# stands) and says why on stderr, unless the argument is "quiet". A wrong
# KAVRO_VM is always reported.
windows_decide() {
    [ -n "${KAVRO_WINDOWS:-}" ] && return 0
    case "${KAVRO_VM:-}" in
        1) KAVRO_WINDOWS=guest
           windows_why="Windows programs run under Wine in an emulated guest (KAVRO_VM=1 asks for it)" ;;
        0) KAVRO_WINDOWS=native
           windows_why="Windows programs run under Wine directly (KAVRO_VM=0 asks for it)" ;;
        "") if windows_runs_i386; then
                KAVRO_WINDOWS=native
                windows_why="Windows programs run under Wine directly (this machine runs 32-bit programs)"
            else
                KAVRO_WINDOWS=guest
                windows_why="Windows programs run under Wine in an emulated guest (this machine's kernel does not run 32-bit programs: ${windows_probe_error:-a tiny one failed})"
            fi ;;
        *) echo "KAVRO_VM must be 1 (use the guest) or 0 (use Wine directly), not \"$KAVRO_VM\"" >&2
           return 2 ;;
    esac
    export KAVRO_WINDOWS
    [ "${1:-}" = quiet ] || echo "$windows_why" >&2
}

# The folders the guest sees at their own paths, one "CACHE PATH" line each,
# parents first: the checkout, the given folders, the cache of pristine Wine
# prefixes (scripts/wine-exec.sh) and KAVRO_GUEST_SHARES
# (colon-separated), without nested repeats. All with virtiofs's cache=auto:
# both sides write them while the guest runs, one after the other, and a file
# opened after the other side closed it reads as the other side left it.
windows_share_paths() {
    local all=() p q inside
    all+=("$(cd "$kavro_scripts/.." && pwd -P)")
    for p in "$@" "$KAVRO_WINE_CACHE" ${KAVRO_GUEST_SHARES:+${KAVRO_GUEST_SHARES//:/ }}; do
        [ -n "$p" ] && mkdir -p "$p" && all+=("$(cd "$p" && pwd -P)")
    done
    for p in "${all[@]}"; do
        inside=0
        for q in "${all[@]}"; do
            [ "$p" != "$q" ] && [[ "$p/" == "$q/"* ]] && inside=1
        done
        [ "$inside" = 1 ] || echo "auto $p"
    done | sort -u
}

# windows_begin BUILD: after it, Windows programs can be run through
# scripts/wine-run.sh. The guest boots in the background while the caller
# goes on (the build, say); the runner waits for it.
windows_begin() {
    windows_decide || exit $?
    export KAVRO_WINE_CACHE="${KAVRO_WINE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro-wine}"
    mkdir -p "$KAVRO_WINE_CACHE"
    KAVRO_WINDOWS="$KAVRO_WINDOWS" "$kavro_scripts/setup.sh"
    trap windows_end EXIT
    trap 'exit 130' INT TERM HUP
    if [ "$KAVRO_WINDOWS" = guest ] && [ -z "${KAVRO_GUEST_RUN:-}" ]; then
        windows_forget_killed_runs
        KAVRO_GUEST_RUN=$(mktemp -d /tmp/kavro-guest.XXXXXX)
        export KAVRO_GUEST_RUN
        windows_share_paths "$@" >"$KAVRO_GUEST_RUN/share-paths"
        windows_keeper_owner=$$
        # Its own process group, so that stopping it stops everything it started;
        # pdeathsig, so that it goes even if this script is killed outright.
        setpriv --pdeathsig KILL setsid bash "$kavro_scripts/guest/start.sh" "$KAVRO_GUEST_RUN" &
        windows_keeper=$!
        # Written here too: a stage that follows at once must not find the
        # folder without it and take the guest for gone.
        echo "$windows_keeper" >"$KAVRO_GUEST_RUN/keeper"
    fi
}

# A run killed outright leaves its folder (keys, logs) behind: its keeper is
# gone, and so are its QEMU and virtiofsd, which go with the keeper.
windows_forget_killed_runs() {
    local old
    for old in $(find /tmp -maxdepth 1 -name 'kavro-guest.*' -type d -mmin +10 2>/dev/null); do
        kill -0 "$(cat "$old/keeper" 2>/dev/null)" 2>/dev/null || rm -rf "$old"
    done
}

windows_end() {
    local status=$?
    if [ -n "${WINEPREFIX:-}" ]; then
        if [ "$KAVRO_WINDOWS" = native ]; then
            "$kavro_scripts/wine-exec.sh" wineserver -k >/dev/null 2>&1 || true
        elif [ -f "${KAVRO_GUEST_RUN:-/nonexistent}/up" ]; then
            # The server saves the registry as it stops: before the guest is
            # switched off.
            windows_stage "$kavro_scripts/wine-exec.sh" wineserver -k >/dev/null 2>&1 || true
            windows_guest sync || true
        fi
    fi
    if [ -n "${windows_keeper:-}" ] && [ "${windows_keeper_owner:-}" = $$ ]; then
        kill -TERM -- "-$windows_keeper" 2>/dev/null || true
        wait "$windows_keeper" 2>/dev/null || true
        rm -rf "$KAVRO_GUEST_RUN"
        windows_keeper=""
    fi
    return "$status"
}

# windows_guest COMMAND...: a shell command line in this run's booted guest.
windows_guest() {
    ssh -S "$KAVRO_GUEST_RUN/ssh" -F /dev/null -o ControlMaster=no -o BatchMode=yes \
        -o LogLevel=ERROR -T kavro-guest "$@"
}

# windows_stage COMMAND ARGS...: runs the command where Wine runs, with this
# working folder, standard input, output, errors and exit status. Natively
# that is here. In the guest the environment goes along, but for what belongs
# to this machine or session, and Ctrl+C reaches the command there, which ends
# as it would here (ctest prints its summary).
windows_stage() {
    if [ "$KAVRO_WINDOWS" = native ]; then
        "$@"
        return
    fi
    windows_guest_wait || return 125
    local cwd vars=() entry name word command
    cwd=$(pwd -P)
    windows_guest_sees "$cwd" || return 125
    while IFS= read -r -d '' entry; do
        name=${entry%%=*}
        [[ "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || continue
        case "$name" in
            PATH|HOME|SHELL|USER|LOGNAME|PWD|OLDPWD|SHLVL|_|HOSTNAME|MAIL|TMPDIR|DISPLAY|XAUTHORITY|\
            SSH_*|LD_*|XDG_*|DBUS_*|BASH*|KAVRO_GUEST_*|KAVRO_WINDOWS|KAVRO_VM|MAKEFLAGS|MFLAGS|MAKELEVEL) continue ;;
        esac
        vars+=("$entry")
    done < <(env -0)
    # The guest has its own X display; a command given one here gets that one.
    [ -z "${DISPLAY:-}" ] || vars+=(DISPLAY=:0)
    # sshd makes the remote shell a process group's leader: its number, kept
    # in the guest's throwaway /run, is where an interrupt goes.
    local stage="/run/kavro-stage.$$.$RANDOM"
    command="cd $(printf %q "$cwd") && echo \$\$ >$stage && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root KAVRO_WINDOWS=native"
    for word in "${vars[@]}" perl "$kavro_scripts/relay.pl" "$@"; do
        command+=" $(printf %q "$word")"
    done
    # In the background (which ignores SIGINT, and ssh keeps it ignored) so
    # that this shell can pass an interrupt on and still read the command's end.
    windows_guest "$command" <&0 &
    local session=$! status interrupted="" outer
    outer=$(trap -p INT)
    trap 'interrupted=1; windows_guest "kill -INT -- -\$(cat $stage)" 2>/dev/null || true' INT
    while :; do
        wait "$session"
        status=$?
        kill -0 "$session" 2>/dev/null || break
    done
    trap - INT
    eval "$outer"
    [ -z "$interrupted" ] || return 130
    return "$status"
}

# Waits for the guest this run boots (exit 1: it failed or is gone).
windows_guest_wait() {
    local run="$KAVRO_GUEST_RUN"
    until [ -f "$run/up" ]; do
        if [ -f "$run/failed" ]; then
            echo "windows: $(cat "$run/failed")" >&2
            return 1
        fi
        if ! kill -0 "$(cat "$run/keeper" 2>/dev/null)" 2>/dev/null; then
            echo "windows: the guest of this run ($run) is gone" >&2
            return 1
        fi
        sleep 0.2
    done
}

# Whether the guest sees FOLDER at its own path.
windows_guest_sees() {
    local share
    while IFS=" " read -r _ share; do
        [[ "$1/" == "$share/"* ]] && return 0
    done <"$KAVRO_GUEST_RUN/share-paths"
    echo "windows: the guest cannot see $1; run from the checkout or the build folder, or add it to KAVRO_GUEST_SHARES" >&2
    return 1
}
