#!/usr/bin/env bash
# Builds and runs every test (unit, process-level on a private JACK dummy server,
# plug-ins, editor windows under Xvfb). Build directory: ./build (or $1).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
"$here/scripts/build.sh" "$build"
cd "$build"
# Two at a time; those that use JACK one after the other (their resource lock).
ctest --output-on-failure --timeout 600 -j 2
