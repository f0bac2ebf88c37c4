#!/usr/bin/env bash
# Builds FFTW (double precision, static) for 64-bit Windows with MinGW-w64 from
# Debian's source package `fftw3`, which Debian ships no Windows build of, and
# installs it into a prefix of its own:
#
#   scripts/fftw-windows.sh prefix
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$(realpath -m "$1")"
work="$(dirname "$prefix")/fftw-work"
jobs="${JOBS:-$(nproc)}"

if [ -f "$prefix/lib/libfftw3.a" ]; then
    echo "fftw-windows: already built in $prefix"
    exit 0
fi
rm -rf "$work"
mkdir -p "$work"
src=$("$here/scripts/debian-source.sh" fftw3 bookworm "$work")
# The build machine's libraries must not be found for Windows.
(cd "$src" && PKG_CONFIG_LIBDIR=/nonexistent ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
    CC=x86_64-w64-mingw32-gcc-posix --enable-static --disable-shared --disable-fortran \
    --enable-sse2 --with-our-malloc >/dev/null &&
    make -j "$jobs" >/dev/null 2>&1 && make install >/dev/null)
rm -rf "$work"
echo "fftw-windows: FFTW installed in $prefix"
