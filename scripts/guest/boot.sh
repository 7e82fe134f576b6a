# Run by the guest's first process from the control folder the host shares as
# /run/kavro: mounts the host's folders at their own paths, starts a virtual
# X display and the ssh server the host's runner talks to, then says "ready".
set -u
ctl=/run/kavro
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root

ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0

# The host's folders, at their own paths.
modprobe virtiofs
while read -r tag path; do
    mkdir -p "$path"
    mount -t virtiofs "$tag" "$path" || echo "boot: could not mount $tag at $path"
done <"$ctl/shares"

Xvfb :0 -nolisten tcp -screen 0 1024x768x24 >/var/log/xvfb.log 2>&1 &

mkdir -p -m 700 /root/.ssh /run/sshd
install -m 600 "$ctl/authorized_keys" /root/.ssh/authorized_keys
/usr/sbin/sshd -D -e -o UsePAM=no -o UseDNS=no -o PermitRootLogin=prohibit-password \
    -o PrintMotd=no -o PrintLastLog=no -o MaxSessions=64 -o MaxStartups=64 &
sshd=$!
# Ready once it listens: the host's first connection must not find the port closed.
until grep -q ':0016 00000000:0000 0A' /proc/net/tcp /proc/net/tcp6 2>/dev/null; do
    kill -0 "$sshd" 2>/dev/null || { echo "boot: sshd did not start"; exit 1; }
    sleep 0.1
done
echo ready >"$ctl/ready"
wait "$sshd"
echo "boot: sshd ended"
