#!/usr/bin/env bash
# Cross-builds the engine for 64-bit Windows with MinGW-w64, with its Windows
# tests and test plug-ins (VST 3 bundles Name.vst3/Contents/x86_64-win/Name.vst3),
# into ./build-windows (or $1); RtAudio 6.0.1 (scripts/rtaudio6.sh, WASAPI and
# DirectSound), FFTW, libsndfile and libsoxr (scripts/fftw-windows.sh,
# sndfile-windows.sh, soxr-windows.sh) are built for Windows first.
# Then `ctest` in that folder runs the tests under Wine, in a Wine prefix of
# the build's own.
#
#   scripts/windows-build.sh [dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build-windows}")"
jobs="${JOBS:-$(nproc)}"

"$here/scripts/rtaudio6.sh" "$build/rtaudio/prefix" windows
"$here/scripts/fftw-windows.sh" "$build/fftw/prefix"
"$here/scripts/sndfile-windows.sh" "$build/sndfile/prefix"
"$here/scripts/soxr-windows.sh" "$build/soxr/prefix"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCORVENA_RTAUDIO_PREFIX="$build/rtaudio/prefix" -DCORVENA_FFTW_PREFIX="$build/fftw/prefix" \
    -DCORVENA_SNDFILE_PREFIX="$build/sndfile/prefix" -DCORVENA_SOXR_PREFIX="$build/soxr/prefix" -DCORVENA_BUILD_BENCH=OFF \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=env;WINEPREFIX=$build/wineprefix;WINEDEBUG=-all;WINEDLLOVERRIDES=winemenubuilder.exe=d;wine"
cmake --build "$build" -j "$jobs"

# The prefix is made once (several seconds); tests then start Wine in about a second.
if [ ! -f "$build/wineprefix/system.reg" ]; then
    WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d DISPLAY= wineboot -i >/dev/null 2>&1
    WINEPREFIX="$build/wineprefix" wineserver -w
fi
echo "windows-build: built in $build (run the tests with: cd $build && ctest)"
