#!/usr/bin/env bash
# Cross-builds the engine for Windows and tests it under Wine: the Windows test
# executables (with the editor window on an Xvfb display of its own), then the
# native protocol tests once more, against corvena-audio.exe, then the stream
# lane: WASAPI and DirectSound streams of corvena-audio.exe on a JACK server.
#
#   scripts/windows-test.sh [native-build-dir] [windows-build-dir]
#
# The native build (default ./build, as scripts/test.sh makes it) provides the
# protocol test executable; it is configured and built here if missing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
native="$(realpath -m "${1:-$here/build}")"
win="$(realpath -m "${2:-$here/build-windows}")"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

$SUDO apt-get update >/dev/null
$SUDO apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix wine wine64 \
    googletest nlohmann-json3-dev xvfb cmake ninja-build make xz-utils patch \
    jackd2 libasound2-plugins gstreamer1.0-plugins-base >/dev/null
"$here/scripts/windows-build.sh" "$win"
export WINEPREFIX="$win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
# Editor tests look windows up on the shared display: those run one at a time.
(cd "$win" && DISPLAY=":$display" ctest -LE editor -j 2 --output-on-failure --timeout 300 &&
    DISPLAY=":$display" ctest -L editor --output-on-failure --timeout 300)

if [ ! -f "$native/build.ninja" ]; then
    cmake -S "$here" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVENA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$native" --target test_app_process wine_stream_tests >/dev/null
# The forced exit needs an engine built to hang: it stays with the native run.
CORVENA_TEST_LAUNCHER=wine CORVENA_TEST_ENGINE="$win/src/corvena-audio.exe" DISPLAY= \
    "$native/tests/app/test_app_process" --gtest_filter='-Protocol.ForcedExit*'

# The stream lane: Wine's ALSA driver (set in the prefix) plays into ALSA's JACK
# plug-in, made ALSA's default PCM by the tests in a HOME of their own (a plug
# PCM around it for DirectSound), on the tests' own JACK dummy server; Wine's
# WASAPI sample rate converter is built on GStreamer's base plug-ins.
stream_start=$SECONDS
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
CORVENA_TEST_LAUNCHER=wine CORVENA_TEST_ENGINE="$win/src/corvena-audio.exe" DISPLAY= \
    "$native/tests/audio/wine_stream_tests"
echo "windows-test: the Wine stream lane took $((SECONDS - stream_start)) s"
echo "windows-test: all passed"
