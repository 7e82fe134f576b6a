#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine.
# Quick when everything is already there; never asks anything.
set -euo pipefail

packages=(cmake make zip unzip procps mingw-w64 mingw-w64-tools wine wine32:i386 wine64 libwine-dev xvfb xauth googletest nlohmann-json3-dev libcli11-dev locales wixl msitools)
commands=(cmake make zip unzip pgrep i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-widl i686-w64-mingw32-windres wine xvfb-run wixl msibuild)
# Where Windows programs run in an emulated guest (scripts/windows.sh): what
# builds, boots and reaches it.
if [ "${KAVRO_WINDOWS:-}" = guest ]; then
    packages+=(qemu-system-x86 debootstrap e2fsprogs openssh-client util-linux)
    commands+=(qemu-system-x86_64 debootstrap mke2fs ssh ssh-keygen setpriv setsid)
fi

missing=0
for c in "${commands[@]}"; do command -v "$c" >/dev/null 2>&1 || missing=1; done
[ -d /usr/src/googletest ] || missing=1
[ -f /usr/include/nlohmann/json.hpp ] || missing=1
[ -f /usr/include/CLI/CLI.hpp ] || missing=1
[ -d /usr/include/wine/wine/windows ] || missing=1
[ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] || missing=1
# 64-bit prefixes, for the 64-bit hosts' test.
[ -x /usr/lib/wine/wine64 ] || missing=1
[ -f /usr/share/i18n/locales/zh_CN ] || missing=1
# Wine takes its ANSI code page from the locale: a Chinese one (936) for the
# double-byte tests.
chinese_locale() {
    locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8' && return 0
    $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
[ "$missing" = 0 ] && { chinese_locale; exit 0; }

export DEBIAN_FRONTEND=noninteractive
echo "setup: installing build and test packages" >&2
$sudo dpkg --add-architecture i386
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${packages[@]}" >/dev/null
chinese_locale
