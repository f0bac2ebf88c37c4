#!/usr/bin/env bash
# A new machine's first run: install the packages, build, and run the engine's
# main job on a private JACK dummy server (no sound card needed).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build"
exec "$here/scripts/run-demo.sh" "$here/build"
