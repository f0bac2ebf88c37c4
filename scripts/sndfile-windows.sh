#!/usr/bin/env bash
# Builds libsndfile (static) for 64-bit Windows with MinGW-w64 from Debian's
# source package `libsndfile`, which Debian ships no Windows build of, and
# installs it into a prefix of its own:
#
#   scripts/sndfile-windows.sh prefix
#
# Without its external codec libraries (FLAC, Ogg, Vorbis, Opus, MP3): impulse
# responses and DI files are WAV, AIFF and the like, which it reads by itself.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "$1")"
work="$(dirname "$prefix")/sndfile-work"
jobs="${JOBS:-$(nproc)}"

if [ -f "$prefix/lib/libsndfile.a" ]; then
    echo "sndfile-windows: already built in $prefix"
    exit 0
fi
rm -rf "$work"
mkdir -p "$work"
src=$("$here/scripts/debian-source.sh" libsndfile bookworm "$work")
# The build machine's libraries must not be found for Windows.
PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF \
    -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_CPACK=OFF \
    -Wno-dev -Wno-deprecated >/dev/null
cmake --build "$work/build" -j "$jobs" >/dev/null
cmake --install "$work/build" >/dev/null
rm -rf "$work"
echo "sndfile-windows: libsndfile installed in $prefix"
