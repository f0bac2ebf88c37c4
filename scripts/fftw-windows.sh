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
# One source, a build folder per precision, both built at once (configure runs
# on one core), then installed one after the other. The build machine's
# libraries must not be found for Windows.
build() {
    mkdir -p "$work/$1"
    cd "$work/$1"
    PKG_CONFIG_LIBDIR=/nonexistent "$src/configure" --host=x86_64-w64-mingw32 --prefix="$prefix" \
        CC=x86_64-w64-mingw32-gcc-posix --enable-static --disable-shared --disable-fortran --enable-sse2 \
        --with-our-malloc "${@:2}" >"$work/$1.log" 2>&1 && make -j "$jobs" >>"$work/$1.log" 2>&1 ||
        { tail -30 "$work/$1.log" >&2; return 1; }
}
build double &
double=$!
build float --enable-float
wait "$double"
for precision in double float; do make -C "$work/$precision" install >/dev/null; done
rm -rf "$work"
echo "fftw-windows: FFTW (double and single precision) installed in $prefix"
