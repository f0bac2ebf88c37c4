#!/usr/bin/env bash
# A fresh Debian 13 (trixie) root, made with debootstrap from the mirror this
# machine's apt sources name: a clean clone of the project is copied in and
# the README's two commands run inside it as a new user types them (the quick
# start, then the test command). Then Debian 13's VST 3 packages are installed
# there and the plug-in sweep (scripts/plugin-sweep.sh) surveys them; its table
# lands in build/plugin-sweep.txt there and in this lane's output.
#
#   .ci/debian13.sh [work-dir] [root]  (default: ./build-debian13; run as root)
#
# With "root" it only makes the root (mostly downloading and unpacking, which
# CI does while other lanes build); a later run without it uses that root.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
work="$(realpath -m "${1:-$here/build-debian13}")"
root="$work/root"

mirror=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
if [ -z "$mirror" ]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
[ -n "$mirror" ] || { echo "debian13: no Debian mirror in the apt sources" >&2; exit 1; }

mounts=(proc dev dev/shm sys)
unmount() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; --i)); do
        mountpoint -q "$root/${mounts[$i]}" && umount -l "$root/${mounts[$i]}"
    done
    return 0
}
# Nothing is ever deleted while the host's /dev or /proc is bound in the root.
fresh() {
    unmount
    for m in "${mounts[@]}"; do
        if mountpoint -q "$root/$m"; then echo "debian13: $root/$m still mounted" >&2; exit 1; fi
    done
    rm -rf --one-file-system "$work"
}
trap unmount EXIT

if [ "${2:-}" = root ] || [ ! -f "$work/root-made" ]; then
    command -v debootstrap >/dev/null || apt-get install -y --no-install-recommends debootstrap >/dev/null
    fresh
    mkdir -p "$root"
    start=$SECONDS
    debootstrap --variant=minbase trixie "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -30 "$work/debootstrap.log" >&2; exit 1; }
    touch "$work/root-made"
    echo "debian13: root made in $((SECONDS - start)) s"
fi
[ "${2:-}" != root ] || exit 0
rm "$work/root-made" # used once: a second run starts afresh
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/shm "$root/dev/shm"
mount --bind /sys "$root/sys"

git clone -q "$here" "$root/root/corvena-audio"
# The example captures beside the clone, where the tests look for them.
if [ -d "$here/../shared/capture" ]; then
    mkdir -p "$root/root/shared"
    cp -r "$here/../shared/capture" "$root/root/shared/capture"
fi
inside() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/corvena-audio && $1"
}

# The README's two commands, as typed.
start=$SECONDS
inside "./scripts/quickstart.sh"
echo "debian13: quick start took $((SECONDS - start)) s"
start=$SECONDS
inside "./scripts/test.sh"
echo "debian13: test command took $((SECONDS - start)) s"
inside "pkg-config --modversion rtaudio | grep -q '^6\.'"

# Debian 13's own VST 3 plug-ins, four frameworks that Debian 12 lacks.
inside "DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    vst3sdk-plugins lsp-plugins-vst3 dragonfly-reverb-vst3 dpf-plugins-vst3 >/dev/null"
start=$SECONDS
inside "./scripts/plugin-sweep.sh build vst3sdk-plugins lsp-plugins-vst3 dragonfly-reverb-vst3 dpf-plugins-vst3"
echo "debian13: plug-in sweep took $((SECONDS - start)) s"
