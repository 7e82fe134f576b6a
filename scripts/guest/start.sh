#!/usr/bin/env bash
# Keeps one guest for a run: builds it if the cache has none, boots it with the
# folders listed in RUN/share-paths visible at their own paths, opens the ssh
# connection the runner uses, writes RUN/up, and waits until it is killed.
# On failure it writes RUN/failed with the step and where its log is.
# Usage: start.sh RUN
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
run="${1:?usage: start.sh RUN}"
echo $$ >"$run/keeper"
qemu=""
ssh_master=""

fail() { echo "$*" >"$run/failed.tmp"; mv "$run/failed.tmp" "$run/failed"; echo "guest: $*" >&2; exit 1; }
stop() {
    [ -z "$ssh_master" ] || kill "$ssh_master" 2>/dev/null
    if [ -n "$qemu" ] && kill -0 "$qemu" 2>/dev/null; then
        kill "$qemu" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$qemu" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$qemu" 2>/dev/null
    fi
    wait 2>/dev/null
}
trap stop EXIT
trap 'exit 143' INT TERM HUP

guest=$("$here/build.sh") || fail "building the guest failed (the lines above name the step and its log)"
echo "$guest" >"$run/guest"
# In use: a build of a newer recipe leaves this guest alone while the lock is
# held (by this keeper and what it starts).
exec 7>"$guest.lock"
flock -s 7

mkdir -p "$run/control"
cp "$here/boot.sh" "$run/control/boot.sh"
rm -f "$run/key" "$run/key.pub"
ssh-keygen -q -t ed25519 -N "" -C kavro-run -f "$run/key" || fail "ssh-keygen failed"
cp "$run/key.pub" "$run/control/authorized_keys"
shares=()
n=0
: >"$run/control/shares"
# The host's folders go over virtiofs: unlike 9p, a large read gives all
# its bytes (Wine reads program images so), and its cache stays coherent
# with the host's writes.
while IFS=' ' read -r cache path; do
    setpriv --pdeathsig KILL /usr/lib/qemu/virtiofsd --socket-path="$run/share$n.sock" \
        -o source="$path" -o cache="$cache" -o log_level=err 2>>"$run/virtiofsd.log" &
    shares+=(-chardev "socket,id=share$n,path=$run/share$n.sock"
             -device "vhost-user-fs-pci,queue-size=1024,chardev=share$n,tag=share$n")
    printf 'share%s %s\n' "$n" "$path" >>"$run/control/shares"
    n=$((n + 1))
done <"$run/share-paths"
for ((i = 0; i < n; i++)); do
    for _ in $(seq 100); do [ -S "$run/share$i.sock" ] && break; sleep 0.1; done
    [ -S "$run/share$i.sock" ] || fail "virtiofsd did not start: $(tail -n 3 "$run/virtiofsd.log")"
done

# A free port on the loopback address for the guest's ssh server; if another
# program takes it first, QEMU stops at once and the next port is tried.
for attempt in 1 2 3 4 5; do
    port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    # pdeathsig: if this keeper is killed outright, QEMU goes with it.
    setpriv --pdeathsig KILL qemu-system-x86_64 \
        -accel tcg,thread=multi -cpu max,-smap -smp "$(nproc)" -m 4G \
        -object memory-backend-memfd,id=mem,size=4G,share=on -numa node,memdev=mem \
        -display none -vga none -monitor none -serial "file:$run/console.log" -no-reboot \
        -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
        -append "console=ttyS0 quiet panic=-1 root=/dev/vda rw init=/sbin/kavro-init" \
        -drive "file=$guest/root.img,format=raw,if=virtio,snapshot=on" \
        -nic "user,model=virtio-net-pci,restrict=on,hostfwd=tcp:127.0.0.1:$port-:22" \
        -virtfs "local,path=$run/control,mount_tag=control,security_model=none" \
        "${shares[@]}" 2>"$run/qemu.log" &
    qemu=$!
    sleep 1
    kill -0 "$qemu" 2>/dev/null && break
    wait "$qemu"; qemu=""
done
[ -n "$qemu" ] || fail "QEMU did not start: $(tail -n 3 "$run/qemu.log")"
echo "$port" >"$run/port"

for _ in $(seq 1200); do
    [ -f "$run/control/ready" ] && break
    kill -0 "$qemu" 2>/dev/null || fail "the guest stopped while booting; its console log is $run/console.log"
    sleep 0.25
done
[ -f "$run/control/ready" ] || fail "the guest did not finish booting in 5 minutes; its console log is $run/console.log and its boot log $run/control/boot.log"

ssh -M -N -S "$run/ssh" -F /dev/null -i "$run/key" -p "$port" \
    -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
    -o ConnectTimeout=60 -o ServerAliveInterval=30 -o ServerAliveCountMax=10 \
    root@127.0.0.1 2>"$run/ssh.log" &
ssh_master=$!
for _ in $(seq 600); do
    [ -S "$run/ssh" ] && break
    kill -0 "$ssh_master" 2>/dev/null || fail "the ssh connection to the guest failed: $(tail -n 3 "$run/ssh.log")"
    sleep 0.1
done
[ -S "$run/ssh" ] || fail "the ssh connection to the guest did not open in 60 s"
touch "$run/up"
wait "$qemu"
