#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config git ca-certificates \
  librtaudio-dev nlohmann-json3-dev juce-modules-source-data \
  libgtest-dev libgmock-dev libbenchmark-dev \
  jackd2 libjack-jackd2-dev zam-plugins \
  libx11-dev xvfb x11-utils xdotool imagemagick \
  libsndfile1-dev sox libsleef-dev \
  g++-mingw-w64-x86-64 clang-14 libfuzzer-14-dev
