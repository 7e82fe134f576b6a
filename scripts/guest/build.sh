#!/usr/bin/env bash
# Builds the guest that runs Windows programs on machines whose kernel runs
# 64-bit programs only: a Debian system with 32-bit Wine and Xvfb (no
# compilers), from Debian's packages alone, as a disk image with its kernel and
# initrd beside it. The result is cached outside the checkout under a name made
# from this recipe, so a fresh clone reuses it and a changed recipe builds anew.
# Prints the guest's folder on stdout; progress and errors go to stderr.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="${KAVRO_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavro-guest}"
recipe=$(cat "$here/build.sh" "$here/init" | sha256sum | cut -c1-16)
guest="$cache/$recipe"
# What the stage that runs Windows programs uses: Wine (32-bit, and 64-bit for
# 64-bit clients), Xvfb, ctest, the shell tools the test scripts call, and a
# Chinese locale for the double-byte code page.
packages=(linux-image-amd64 initramfs-tools kmod iproute2 openssh-server
          wine wine32:i386 wine64 fonts-wine xvfb xauth cmake zip unzip procps locales)

say() { echo "guest: $*" >&2; }
[ -f "$guest/ready" ] && { echo "$guest"; exit 0; }

mkdir -p "$cache"
# One build at a time. The lock is the kernel's: it goes with the process
# that held it, so a killed build leaves nothing to clean up by hand.
exec 9>"$cache/build.lock"
if ! flock -n 9; then
    say "another run is building the guest; waiting for it"
    flock 9
fi
[ -f "$guest/ready" ] && { echo "$guest"; exit 0; }

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
partial="$guest.partial"
root="$partial/root"
log="$cache/build-$recipe.log"
step=""
# A build killed outright leaves the host's /proc, /sys and /dev bound inside
# its root: unbind them before anything there is removed.
remove_partial() {
    local m
    for m in $(awk -v p="$partial/" 'index($2, p) == 1 {print $2}' /proc/mounts | sort -r); do
        $sudo umount -l "$m" 2>/dev/null || true
    done
    $sudo rm -rf --one-file-system "$partial"
}
cleanup() {
    local status=$?
    if [ "$status" != 0 ]; then
        say "building the guest failed at: $step (exit $status); its log is $log"
        tail -n 15 "$log" >&2 || true
    fi
    [ ! -e "$partial" ] || remove_partial
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
run() { step="$1"; shift; say "$step"; "$@" >>"$log" 2>&1 9>&-; }

# The host's release and mirror, so the guest has the same Wine as a native run.
release=$( . /etc/os-release 2>/dev/null; echo "${VERSION_CODENAME:-bookworm}")
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
         grep -v -- '-security' | head -n 1 || true)
[ -n "$mirror" ] || mirror=$(awk '$1=="deb" && $3 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
if [ -z "$mirror" ]; then
    say "no Debian package mirror in this machine's apt sources (/etc/apt/sources.list.d/*.sources or /etc/apt/sources.list):"
    say "the guest is built from the same mirror as this machine; add one there and run again"
    exit 1
fi

say "building the guest in $guest (Debian $release from $mirror; 5 to 15 minutes; log: $log)"
: >"$log"
remove_partial
mkdir -p "$partial"
started=$(date +%s)
run "[1/5] debootstrap: a minimal Debian" \
    $sudo debootstrap --variant=minbase "$release" "$root" "$mirror"

step="[2/5] configuring apt and the initrd"
say "$step"
{
    $sudo cp -a /etc/apt/sources.list.d/. "$root/etc/apt/sources.list.d/"
    $sudo rm -f "$root/etc/apt/sources.list"
    [ ! -f /etc/apt/sources.list ] || $sudo cp /etc/apt/sources.list "$root/etc/apt/sources.list"
    $sudo cp -a /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
    # Nothing starts services while packages are installed in the chroot.
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$root/usr/sbin/policy-rc.d" >/dev/null
    $sudo chmod +x "$root/usr/sbin/policy-rc.d"
    $sudo mkdir -p "$root/etc/initramfs-tools/conf.d"
    printf 'MODULES=list\nCOMPRESS=gzip\n' | $sudo tee "$root/etc/initramfs-tools/conf.d/kavro" >/dev/null
    printf 'virtio_pci\nvirtio_blk\next4\n' | $sudo tee -a "$root/etc/initramfs-tools/modules" >/dev/null
    echo kavro-guest | $sudo tee "$root/etc/hostname" >/dev/null
} >>"$log" 2>&1

for fs in proc sys dev dev/pts; do $sudo mount --bind "/$fs" "$root/$fs"; done
in_root() { $sudo env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C chroot "$root" "$@"; }
run "[3/5] apt: the kernel, ssh, Wine, Xvfb and ctest" \
    in_root sh -c "dpkg --add-architecture i386 && apt-get update -q &&
                   apt-get install -y -q --no-install-recommends ${packages[*]} && apt-get clean &&
                   localedef -i zh_CN -f UTF-8 zh_CN.UTF-8"
for fs in dev/pts dev sys proc; do $sudo umount "$root/$fs"; done

step="[4/5] kernel, initrd and init"
say "$step"
{
    $sudo install -m 755 "$here/init" "$root/sbin/kavro-init"
    $sudo rm -rf "$root/var/lib/apt/lists"/* "$root/var/cache/apt"/*
    kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
    $sudo cp "$kernel" "$partial/vmlinuz"
    $sudo cp "$root/boot/initrd.img-${kernel##*/vmlinuz-}" "$partial/initrd.img"
    $sudo chmod 644 "$partial/vmlinuz" "$partial/initrd.img"
} >>"$log" 2>&1

# A disk image keeps owners and modes whoever boots it, and the guest's
# writes stay in a throwaway overlay (the image is only ever read).
used_mb=$($sudo du -sm "$root" | cut -f1)
run "[5/5] disk image ($used_mb MB of files)" \
    $sudo mke2fs -q -t ext4 -O ^has_journal -L kavro -d "$root" "$partial/root.img" "$(( used_mb * 5 / 4 + 512 ))M"
$sudo chmod 644 "$partial/root.img"
$sudo rm -rf "$root"
[ -z "$sudo" ] || $sudo chown -R "$(id -u):$(id -g)" "$partial"
touch "$partial/ready"
mv "$partial" "$guest"
say "built in $(( $(date +%s) - started )) s: $(du -sh "$guest" | cut -f1) in $guest"

# Guests of earlier recipes go, unless a run is using one (it holds its lock).
for old in "$cache"/*/; do
    old=${old%/}
    [ "$old" = "$guest" ] && continue
    ( flock -xn 8 && rm -rf "$old" ) 8>"$old.lock" 2>/dev/null && rm -f "$old.lock" || true
done
echo "$guest"
