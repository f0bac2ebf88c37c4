#!/bin/sh
# Checks that the Windows editor window unit, and the editor operations of the
# slot that sit on top of it, compile for Win32 with the MinGW-w64 cross compiler
# (Debian package g++-mingw-w64-x86-64). The posix thread model is used because
# the slot record holds a std::mutex.
# Usage: scripts/check-windows.sh [VST3_SDK_DIR]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
sdk=${1:-/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK}
cxx=${CXX_MINGW:-x86_64-w64-mingw32-g++-posix}
units="src/plugin/WinWindow.cpp src/plugin/SlotEditor.cpp"

if ! command -v "$cxx" >/dev/null 2>&1; then
    # The win32 thread model has no std::mutex: only the window unit can be checked.
    cxx=x86_64-w64-mingw32-g++
    units="src/plugin/WinWindow.cpp"
fi
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "check-windows: no MinGW-w64 C++ compiler (install g++-mingw-w64-x86-64)" >&2
    exit 2
fi
if [ ! -f "$sdk/pluginterfaces/gui/iplugview.h" ]; then
    echo "check-windows: VST 3 SDK not found in $sdk" >&2
    exit 2
fi

for unit in $units; do
    "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -Wno-unused-parameter \
        -DRELEASE=1 -I"$here/src" -isystem "$sdk" "$here/$unit"
    echo "check-windows: $unit compiles for Win32"
done
