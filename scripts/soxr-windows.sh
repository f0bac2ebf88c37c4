#!/usr/bin/env bash
# Builds libsoxr (static) for 64-bit Windows with MinGW-w64 from Debian's
# source package `libsoxr`, which Debian ships no Windows build of, and installs
# it into a prefix of its own:
#
#   scripts/soxr-windows.sh prefix
#
# OpenMP is left out: resampling an impulse response or a capture happens once,
# off the audio thread, and a static libgomp would only add threads.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "$1")"
work="$(dirname "$prefix")/soxr-work"
jobs="${JOBS:-$(nproc)}"

if [ -f "$prefix/lib/libsoxr.a" ]; then
    echo "soxr-windows: already built in $prefix"
    exit 0
fi
rm -rf "$work"
mkdir -p "$work"
src=$("$here/scripts/debian-source.sh" libsoxr bookworm "$work")
PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Wno-dev -DBUILD_SHARED_LIBS=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/build" -j "$jobs" >/dev/null
cmake --install "$work/build" >/dev/null
rm -rf "$work"
echo "soxr-windows: libsoxr installed in $prefix"
