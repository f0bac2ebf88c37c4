#!/usr/bin/env bash
# Builds FFTW (static, double precision for the tuner and single precision,
# fftwf_, for the convolver) for 64-bit Windows with MinGW-w64 from Debian's
# source package `fftw3`, which Debian ships no Windows build of, and installs
# both into a prefix of their own:
#
#   scripts/fftw-windows.sh prefix
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "$1")"
work="$(dirname "$prefix")/fftw-work"
jobs="${JOBS:-$(nproc)}"

if [ -f "$prefix/lib/libfftw3.a" ] && [ -f "$prefix/lib/libfftw3f.a" ]; then
    echo "fftw-windows: already built in $prefix"
    exit 0
fi
rm -rf "$work"
mkdir -p "$work"
src=$("$here/scripts/debian-source.sh" fftw3 bookworm "$work")
# One source, a build folder per precision. The build machine's libraries must
# not be found for Windows.
for precision in double float; do
    extra=()
    if [ "$precision" = float ]; then extra=(--enable-float); fi
    mkdir -p "$work/$precision"
    (cd "$work/$precision" && PKG_CONFIG_LIBDIR=/nonexistent "$src/configure" --host=x86_64-w64-mingw32 \
        --prefix="$prefix" CC=x86_64-w64-mingw32-gcc-posix --enable-static --disable-shared --disable-fortran \
        --enable-sse2 --with-our-malloc "${extra[@]}" >/dev/null &&
        make -j "$jobs" >/dev/null 2>&1 && make install >/dev/null)
done
rm -rf "$work"
echo "fftw-windows: FFTW (double and single precision) installed in $prefix"
