#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need (run as
# root), on Debian 12 (bookworm) or Debian 13 (trixie): the names that differ
# between the two are chosen from /etc/os-release.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
case "$codename" in
    bookworm) extra="clang-14 libfuzzer-14-dev" ;;      # RtAudio 5.2
    trixie | "")                                        # RtAudio 6.0.1
        # jack_wait and jack_lsp left jackd2 for jack-example-tools.
        extra="clang libfuzzer-19-dev jack-example-tools" ;;
    *) echo "install-deps: $codename is neither Debian 12 nor 13; trying Debian 13's names" >&2
       extra="clang libfuzzer-19-dev jack-example-tools" ;;
esac

$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config git ca-certificates \
  librtaudio-dev nlohmann-json3-dev juce-modules-source-data \
  libgtest-dev libgmock-dev libbenchmark-dev \
  jackd2 libjack-jackd2-dev zam-plugins \
  libx11-dev xvfb x11-utils xdotool imagemagick \
  libsndfile1-dev libsoxr-dev sox libsleef-dev libssl-dev libfftw3-dev \
  g++-mingw-w64-x86-64 $extra
