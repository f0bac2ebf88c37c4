#!/usr/bin/env bash
# Builds RtAudio 6.0.1 from Debian 13's source package `rtaudio` (Debian 12
# ships 5.2), natively with the JACK, ALSA and PulseAudio back ends, and
# installs it into a prefix of its own:
#
#   scripts/rtaudio6.sh [prefix]          (default: ./build-rtaudio6/prefix)
#   scripts/rtaudio6.sh prefix windows    (static, WASAPI and DirectSound, MinGW-w64)
#
# then configure with PKG_CONFIG_PATH=<prefix>/lib/pkgconfig. The source comes
# from Debian 13 through scripts/debian-source.sh.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "${1:-$here/build-rtaudio6/prefix}")"
target="${2:-native}"
work="$(dirname "$prefix")/rtaudio6-work-$target"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

patches=""
if [ "$target" = windows ]; then patches=$(cat "$here"/scripts/patches/rtaudio-*.patch | sha256sum | cut -d' ' -f1); fi
# A prefix built before the patches changed is built again.
if [ -f "$prefix/lib/pkgconfig/rtaudio.pc" ] && [ "$(cat "$prefix/patches" 2>/dev/null)" = "$patches" ]; then
    echo "rtaudio6: already built in $prefix"
    exit 0
fi


if [ "$target" = windows ]; then
    # ASIO is left out: its SDK is not part of Debian's source.
    config=(-DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DBUILD_SHARED_LIBS=OFF
            -DRTAUDIO_API_WASAPI=ON -DRTAUDIO_API_DS=ON -DRTAUDIO_API_ASIO=OFF
            -DRTAUDIO_API_JACK=OFF -DRTAUDIO_API_ALSA=OFF -DRTAUDIO_API_PULSE=OFF)
    # The host's own libraries (PulseAudio, JACK) must not be found for Windows.
    export PKG_CONFIG_LIBDIR=/nonexistent
else
    $SUDO apt-get install -y --no-install-recommends libjack-jackd2-dev libasound2-dev libpulse-dev cmake ninja-build xz-utils >/dev/null
    config=(-DRTAUDIO_API_JACK=ON -DRTAUDIO_API_ALSA=ON -DRTAUDIO_API_PULSE=ON)
fi

rm -rf "$work"
mkdir -p "$work"
src=$("$here/scripts/debian-source.sh" rtaudio trixie "$work")
if [ "$target" = windows ]; then
    # 6.0.1's WASAPI thread gives up when IAudioClient3's engine-period query
    # fails (a stub in Wine 8, refused by some drivers) instead of initialising
    # the plain shared-mode way, and crashes when the sample rate converter is
    # missing. The patch says more; it is meant to be offered upstream.
    for p in "$here"/scripts/patches/rtaudio-*.patch; do patch -d "$src" -p1 --quiet <"$p"; done
fi

cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib "${config[@]}" \
    -DRTAUDIO_BUILD_TESTING=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" >/dev/null
echo "$patches" >"$prefix/patches"
rm -rf "$work"
echo "rtaudio6: RtAudio 6.0.1 ($target) installed in $prefix"
