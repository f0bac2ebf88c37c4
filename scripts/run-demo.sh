#!/usr/bin/env bash
# The engine's main job without a sound card: a private JACK server with the dummy
# driver, corvena-audio on it, a strummed guitar played into its input, amp models
# and settings switched while the level events show what happens. Everything this
# script starts is stopped again when it ends, however it ends.
#
#   scripts/run-demo.sh [build-dir]      (default: ./build)
set -euo pipefail

BUILD_DIR=${1:-./build}
ENGINE="$BUILD_DIR/src/corvena-audio"
FEEDER="$BUILD_DIR/demo/corvena-guitar-feeder"
for tool in "$ENGINE" "$FEEDER"; do
    if [[ ! -x "$tool" ]]; then
        echo "run-demo: $tool is missing; build first (cmake --build $BUILD_DIR)" >&2
        exit 1
    fi
done
command -v jackd >/dev/null || { echo "run-demo: jackd is missing (apt-get install jackd2)" >&2; exit 1; }

WORK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/corvena-demo.XXXXXX")
export JACK_DEFAULT_SERVER="corvena-demo-$$"
export JACK_NO_START_SERVER=1
export JACK_NO_AUDIO_RESERVATION=1
JACKD_PID="" FEEDER_PID="" ENGINE_CHILD=""

cleanup() {
    set +e
    [[ -n "$FEEDER_PID" ]] && kill "$FEEDER_PID" 2>/dev/null && wait "$FEEDER_PID" 2>/dev/null
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
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }

say "Starting a private JACK server '$JACK_DEFAULT_SERVER' (dummy driver, 48000 Hz, 128 frames)"
TMPDIR="$WORK_DIR" HOME="$WORK_DIR" jackd --no-realtime -d dummy -r 48000 -p 128 -C 2 -P 2 \
    >"$WORK_DIR/jackd.log" 2>&1 &
JACKD_PID=$!
if ! jack_wait -w -t 10 >/dev/null 2>&1; then
    echo "run-demo: the JACK server did not start:" >&2
    cat "$WORK_DIR/jackd.log" >&2
    exit 1
fi

say "Starting corvena-audio (its diagnostics go to $WORK_DIR/engine.log)"
coproc ENGINE { exec "$ENGINE" 2>"$WORK_DIR/engine.log"; }
ENGINE_CHILD=$ENGINE_PID # bash forgets ENGINE_PID once the coprocess ends
exec {TO_ENGINE}>&"${ENGINE[1]}" {FROM_ENGINE}<&"${ENGINE[0]}"

# Reads one line from the engine, or fails after a timeout.
read_line() {
    local line
    IFS= read -r -t "${1:-10}" -u "$FROM_ENGINE" line || return 1
    printf '%s\n' "$line"
}

NEXT_ID=0
# Sends one request and prints its reply; level events in between are shown too.
request() {
    NEXT_ID=$((NEXT_ID + 1))
    local body="$1" line
    body="{\"id\":$NEXT_ID,${body#\{}"
    echo "  -> $body"
    printf '%s\n' "$body" >&"$TO_ENGINE"
    while line=$(read_line 20); do
        case "$line" in
            *'"event":"level"'*) ;;
            *"\"id\":$NEXT_ID,"*) echo "  <- $line"; return 0 ;;
            *) echo "  <- $line" ;;
        esac
    done
    echo "run-demo: no reply from the engine" >&2
    exit 1
}

# Shows the level events of the next `seconds` (every fourth one, ~5 per second).
show_levels() {
    local until=$((SECONDS + $1)) n=0 line
    while ((SECONDS < until)) && line=$(read_line 2); do
        case "$line" in
            *'"event":"level"'*)
                if ((n % 4 == 0)); then echo "  <- $line"; fi
                n=$((n + 1)) ;;
            *) echo "  <- $line" ;;
        esac
    done
    return 0
}

read_line 10 | sed 's/^/  <- /'

say "The audio devices the engine can see"
request '{"cmd":"listDevices"}'

say "Opening the duplex stream (the server decides rate and block size)"
request '{"cmd":"open","api":"jack","sampleRate":48000,"blockSize":128}'

say "Playing a strummed guitar into Corvena:inport 0"
"$FEEDER" >"$WORK_DIR/feeder.log" 2>&1 &
FEEDER_PID=$!
sleep 1
cat "$WORK_DIR/feeder.log"
show_levels 2

say "Clean amp, a little brighter"
request '{"cmd":"amp","model":"clean","gain":0.4,"treble":0.7,"level":0.7}'
show_levels 2

say "Drive amp, more gain and mids"
request '{"cmd":"amp","model":"drive","gain":0.85,"mid":0.7,"bass":0.6}'
show_levels 2

say "Amp bypassed: the DI signal through the limiter"
request '{"cmd":"amp","enabled":false}'
show_levels 1

say "Monitor at half level, then off"
request '{"cmd":"monitor","enabled":true,"level":0.4}'
show_levels 1
request '{"cmd":"monitor","enabled":false}'
show_levels 1

say "The 440 Hz test tone replaces the output"
request '{"cmd":"tone","enabled":true,"frequency":440,"level":0.15}'
show_levels 1
request '{"cmd":"tone","enabled":false}'
request '{"cmd":"monitor","enabled":true,"level":0.8}'
request '{"cmd":"amp","enabled":true}'

# The take is kept after the demo ends, in a directory of its own.
TAKE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/corvena-take.XXXXXX")
say "Recording four seconds of DI and processed signal, metronome on at 120 bpm (heard, not recorded)"
request '{"cmd":"metronome","enabled":true,"bpm":120}'
request "{\"cmd\":\"record\",\"diPath\":\"$TAKE_DIR/di.wav\",\"wetPath\":\"$TAKE_DIR/wet.wav\"}"
show_levels 4
request '{"cmd":"stop"}'
request '{"cmd":"metronome","enabled":false}'
echo "  The take: $TAKE_DIR/di.wav (DI) and $TAKE_DIR/wet.wav (processed)"
if command -v soxi >/dev/null; then
    for f in "$TAKE_DIR/di.wav" "$TAKE_DIR/wet.wav"; do
        echo "  $(basename "$f"): $(soxi -t "$f") $(soxi -b "$f")-bit $(soxi -c "$f") channel $(soxi -r "$f") Hz, $(soxi -D "$f") s"
    done
fi

say "What the guitar client heard back from the engine"
tail -n 6 "$WORK_DIR/feeder.log"

say "Closing the stream and quitting"
request '{"cmd":"status"}'
request '{"cmd":"close"}'
request '{"cmd":"quit"}'
exec {TO_ENGINE}>&-
status=0
wait "$ENGINE_CHILD" || status=$?
ENGINE_CHILD=""
echo "corvena-audio exited with status $status"
exit "$status"
