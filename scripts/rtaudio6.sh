#!/usr/bin/env bash
# Builds RtAudio 6.0.1 from Debian 13's source package `rtaudio` (Debian 12
# ships 5.2), natively with the JACK, ALSA and PulseAudio back ends, and
# installs it into a prefix of its own:
#
#   scripts/rtaudio6.sh [prefix]        (default: ./build-rtaudio6/prefix)
#
# then configure with PKG_CONFIG_PATH=<prefix>/lib/pkgconfig. The source is
# fetched with apt-get through a private apt configuration: a deb-src line for
# trixie on the mirror this machine's own apt sources name. The system's apt
# configuration is never changed; nothing fetched lands in the repository.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "${1:-$here/build-rtaudio6/prefix}")"
work="$(dirname "$prefix")/rtaudio6-work"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if [ -f "$prefix/lib/pkgconfig/rtaudio.pc" ]; then
    echo "rtaudio6: already built in $prefix"
    exit 0
fi

mirror() {
    local uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        uri=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "rtaudio6: no Debian mirror found in the apt sources" >&2; exit 1; }
    echo "$uri"
}

$SUDO apt-get install -y --no-install-recommends libjack-jackd2-dev libasound2-dev libpulse-dev cmake ninja-build xz-utils >/dev/null

rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) trixie main" >"$work/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$work/lists" -o Debug::NoLocking=1)
apt-get "${apt_private[@]}" update >/dev/null
# The package's .dsc is not always on the mirror; the upstream tarball is all
# the build needs, so a failed unpack is answered by unpacking it directly.
(cd "$work/src" && apt-get "${apt_private[@]}" source --download-only rtaudio >/dev/null 2>&1 || true)
orig=$(ls "$work"/src/rtaudio_6.0.1*.orig.tar.* 2>/dev/null | head -1)
[ -n "$orig" ] || { echo "rtaudio6: could not fetch the rtaudio 6.0.1 source" >&2; exit 1; }
tar -xf "$orig" -C "$work/src"
src=$(find "$work/src" -maxdepth 1 -type d -name 'rtaudio-*' | head -1)

cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DRTAUDIO_API_JACK=ON -DRTAUDIO_API_ALSA=ON -DRTAUDIO_API_PULSE=ON \
    -DRTAUDIO_BUILD_TESTING=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" >/dev/null
rm -rf "$work"
echo "rtaudio6: RtAudio 6.0.1 installed in $prefix"
