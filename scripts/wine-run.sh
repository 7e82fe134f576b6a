#!/usr/bin/env bash
# The one way the project runs a Windows program: `wine-run.sh PROGRAM ARGS...`
# (or `wine-run.sh wineserver ARGS...`) does what scripts/wine-exec.sh does, with
# this working folder, the environment, standard input, output and exit status.
# Where the kernel runs 64-bit programs only (or KAVRO_VM=1), the scripts run
# their whole stage inside the guest, where this takes the direct way; called
# from this machine (the build's type-library step, or by hand) it runs the
# one program in the guest the calling script started (windows_begin), or
# boots a guest for this one command. Exit 125: the guest failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/windows.sh"
windows_decide quiet || exit $?

if [ "$KAVRO_WINDOWS" = native ]; then
    exec "$here/wine-exec.sh" "$@"
fi

if [ -z "${KAVRO_GUEST_RUN:-}" ]; then
    echo "wine-run: booting a guest for this one command (scripts that run many keep one for the run)" >&2
    windows_begin "${WINEPREFIX:+$(dirname "$WINEPREFIX")}" "$PWD"
    "$0" "$@"
    exit $?
fi
windows_stage "$here/wine-exec.sh" "$@"
