#!/usr/bin/env bash
# What the whole engine process costs: the real binary on a private JACK dummy
# server (48000 Hz, 128 frames, 64 inputs, Drive model), measured for 10 s
# idle (no stream), 10 s streaming and, where the example captures are at
# ../shared/capture, 10 s streaming through the standard-size capture and a
# 2-second cabinet response (made with sox). Prints the process's CPU share, the
# realtime factor (seconds of audio per CPU second of the whole process) and
# the control thread's wake-ups per second (its context switches).
#
#   bench/process-cost.sh [build-dir] [seconds]     (default: ./build, 10)
set -euo pipefail

BUILD_DIR=${1:-./build}
SECONDS_EACH=${2:-10}
ENGINE="$BUILD_DIR/src/corvena-audio"
[[ -x "$ENGINE" ]] || { echo "process-cost: $ENGINE is missing; build first" >&2; exit 1; }
command -v jackd >/dev/null || { echo "process-cost: jackd is missing (apt-get install jackd2)" >&2; exit 1; }

WORK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/corvena-cost.XXXXXX")
export JACK_DEFAULT_SERVER="corvena-cost-$$"
export JACK_NO_START_SERVER=1
export JACK_NO_AUDIO_RESERVATION=1
JACKD_PID="" ENGINE_CHILD=""

cleanup() {
    set +e
    if [[ -n "$ENGINE_CHILD" ]] && kill -0 "$ENGINE_CHILD" 2>/dev/null; then
        kill "$ENGINE_CHILD" 2>/dev/null; wait "$ENGINE_CHILD" 2>/dev/null
    fi
    if [[ -n "$JACKD_PID" ]]; then
        kill "$JACKD_PID" 2>/dev/null
        for _ in $(seq 150); do kill -0 "$JACKD_PID" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$JACKD_PID" 2>/dev/null
        wait "$JACKD_PID" 2>/dev/null
    fi
    rm -rf "$WORK_DIR"
}
trap cleanup EXIT

TMPDIR="$WORK_DIR" HOME="$WORK_DIR" jackd --no-realtime -d dummy -r 48000 -p 128 -C 64 -P 2 \
    >"$WORK_DIR/jackd.log" 2>&1 &
JACKD_PID=$!
jack_wait -w -t 10 >/dev/null 2>&1 || { cat "$WORK_DIR/jackd.log" >&2; exit 1; }

coproc ENGINE { exec "$ENGINE" 2>"$WORK_DIR/engine.log"; }
ENGINE_CHILD=$ENGINE_PID
exec {TO_ENGINE}>&"${ENGINE[1]}" {FROM_ENGINE}<&"${ENGINE[0]}"
read -r -u "$FROM_ENGINE" _ready

# Level events keep arriving while streaming: read stdout in the background
# so the engine never waits on us.
cat <&"$FROM_ENGINE" >"$WORK_DIR/out.log" &
READER_PID=$!

ticks=$(getconf CLK_TCK)
cpuTicks() { awk '{ print $14 + $15 }' "/proc/$ENGINE_CHILD/stat"; }
switches() {
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' \
        "/proc/$ENGINE_CHILD/task/$ENGINE_CHILD/status"
}

measure() {
    local label=$1 streaming=$2 cpu0 sw0 t0 cpu1 sw1 t1
    cpu0=$(cpuTicks); sw0=$(switches); t0=$(date +%s.%N)
    sleep "$SECONDS_EACH"
    cpu1=$(cpuTicks); sw1=$(switches); t1=$(date +%s.%N)
    awk -v l="$label" -v s="$streaming" -v c=$((cpu1 - cpu0)) -v w=$((sw1 - sw0)) \
        -v t0="$t0" -v t1="$t1" -v hz="$ticks" 'BEGIN {
        wall = t1 - t0; cpu = c / hz
        printf "%-10s CPU %5.2f %% of one core", l, 100 * cpu / wall
        if (s == 1) { if (cpu > 0) printf ", realtime factor %7.1f", wall / cpu; else printf ", realtime factor  >%d", wall * hz }
        printf ", control-thread wake-ups %6.1f /s\n", w / wall
    }'
}

measure idle 0
echo '{"id":1,"cmd":"open","api":"jack","sampleRate":48000,"blockSize":128}' >&"$TO_ENGINE"
echo '{"id":2,"cmd":"amp","model":"drive"}' >&"$TO_ENGINE"
sleep 1
grep -q '"id":1,.*"ok":true' "$WORK_DIR/out.log" || { echo "process-cost: open failed:" >&2; cat "$WORK_DIR/out.log" >&2; exit 1; }
grep -m1 -o '"inputChannelCount":[0-9]*' "$WORK_DIR/out.log"
measure streaming 1
CAPTURE="$(cd "$(dirname "$0")/.." && pwd)/../shared/capture/models/wavenet_a1_standard.nam"
if [[ -f "$CAPTURE" ]] && command -v sox >/dev/null; then
    sox -n -r 48000 -b 24 -c 1 "$WORK_DIR/cabinet.wav" synth 2 whitenoise fade q 0 2 1.99 vol 0.05
    echo '{"id":4,"cmd":"amp","model":"capture","gain":0.5}' >&"$TO_ENGINE"
    echo "{\"id\":5,\"cmd\":\"capture\",\"path\":\"$CAPTURE\"}" >&"$TO_ENGINE"
    echo "{\"id\":6,\"cmd\":\"cabinet\",\"path\":\"$WORK_DIR/cabinet.wav\"}" >&"$TO_ENGINE"
    sleep 1
    grep -q '"id":5,.*"ok":true' "$WORK_DIR/out.log" && grep -q '"id":6,.*"ok":true' "$WORK_DIR/out.log" ||
        { echo "process-cost: capture or cabinet failed:" >&2; tail -3 "$WORK_DIR/out.log" >&2; exit 1; }
    measure capture+IR 1
fi
echo '{"id":3,"cmd":"quit"}' >&"$TO_ENGINE"
wait "$ENGINE_CHILD" 2>/dev/null || true
ENGINE_CHILD=""
kill "$READER_PID" 2>/dev/null || true
