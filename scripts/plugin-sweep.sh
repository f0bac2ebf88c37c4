#!/usr/bin/env bash
# A survey of a distribution's VST 3 plug-ins through the engine's host: every
# audio class of the named (installed) packages is loaded as an effect, fed a
# second of plucked guitar, its editor shown under a private Xvfb and closed,
# and unloaded, each in a process of its own (build/tools/corvena-plugin-sweep),
# so that a crash or a hang is a row of the table, not the end of the sweep.
# Then every bundle's first effect goes through the engine process (load,
# editor open and closed, unload) whose stdout must carry protocol lines only,
# and the SDK's host checker, if installed, reports what it found.
#
#   scripts/plugin-sweep.sh BUILD-DIR PACKAGE...
#
# The table goes to BUILD-DIR/plugin-sweep.txt. Exit status 1 when anything
# failed that is not a known fault of the plug-in itself.
set -uo pipefail
build="$(realpath "${1:?usage: plugin-sweep.sh BUILD-DIR PACKAGE...}")"
shift
sweep="$build/tools/corvena-plugin-sweep"
engine="$build/src/corvena-audio"
table="$build/plugin-sweep.txt"
for tool in "$sweep" "$engine"; do [[ -x "$tool" ]] || { echo "plugin-sweep: $tool is missing; build first" >&2; exit 2; }; done

# Faults of the plug-ins themselves, seen with other hosts or tools too: listed
# in the table, not failures of the host. By class name, or by bundle.
declare -A known=(
    ["AGain VST3"]="VSTGUI debug build asserts in removed(): a timer without its run loop"
    ["AGain SideChain VST3"]="VSTGUI debug build asserts in removed(): a timer without its run loop"
    ["AGainSimple VST3"]="VSTGUI debug build asserts in removed(): a timer without its run loop"
    ["Panner"]="VSTGUI debug build asserts in removed(): a timer without its run loop"
    ["VST3 Host Checker"]="VSTGUI debug build asserts in removed(): a timer without its run loop"
    ["dataexchange.vst3"]="the packaged module needs a symbol no library defines: refused at load"
    ["Note Expression Text"]="no audio input bus: refused at load"
    ["Room Builder Mono"]="its view's MIT-SHM image request fails with BadMatch; Xlib's handler exits"
    ["Room Builder Stereo"]="its view's MIT-SHM image request fails with BadMatch; Xlib's handler exits"
    ["mda Tracker"]="non-finite output at its defaults"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/corvena-sweep.XXXXXX")
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"

declare -A faulty
bundles=()
# A row of the table: package, bundle, class, whether it went well, what happened.
row() {
    local fault="${known[$3]:-${known[$(basename "$2")]:-}}"
    if (($4)); then
        echo "| $1 | $(basename "$2") | $3 | $5 |"
    elif [[ -n "$fault" ]]; then
        echo "| $1 | $(basename "$2") | $3 | plug-in fault ($fault): $5 |"
        faulty[$2]=1
    else
        echo "| $1 | $(basename "$2") | $3 | FAILED: $5 |"
    fi
}
{
    echo "| package | bundle | class | result |"
    echo "|---|---|---|---|"
    for package in "$@"; do
        mapfile -t found < <(dpkg -L "$package" 2>/dev/null | grep -E '\.vst3/?$' | while read -r b; do [[ -d "$b" ]] && echo "${b%/}"; done)
        ((${#found[@]})) || row "$package" "" "" 0 "installs no VST 3 bundle"
        for bundle in "${found[@]}"; do
            bundles+=("$bundle")
            if ! classes=$("$sweep" classes "$bundle" 2>>"$work/stderr") || [[ -z "$classes" ]]; then
                row "$package" "$bundle" "" 0 "${classes:-no audio class}"
                continue
            fi
            while IFS=$'\t' read -r index kind name; do
                result=$(timeout -s KILL 60 "$sweep" try "$bundle" "$index" 2>>"$work/stderr")
                status=$?
                ((status == 137)) && result="hung"
                ((status > 128 && status != 137)) && result="crashed (signal $((status - 128)))"
                [[ -n "$result" ]] || result="ended without a result"
                if [[ "$kind" == instrument ]]; then # refused as an effect, or it is a failure
                    refused="load failed: no audio-effect class in $bundle"
                    [[ "$result" == "$refused" ]] && row "$package" "$bundle" "$name" 1 "instrument, refused: ${result#load failed: }" ||
                        row "$package" "$bundle" "$name" 0 "instrument: $result"
                else
                    row "$package" "$bundle" "$name" $((status == 0)) "$result"
                fi
            done <<<"$classes"
        done
    done

    # Through the engine process: whatever the plug-ins print, stdout holds
    # protocol lines only, and each bundle's first effect loads, shows its
    # editor and unloads there too.
    requests=0
    for bundle in "${bundles[@]}"; do
        [[ -n "${faulty[$bundle]:-}" ]] && continue
        printf '{"cmd":"vstLoad","path":"%s"}\n{"cmd":"vstEditor","open":true}\n{"cmd":"vstEditor","open":false}\n{"cmd":"vstUnload"}\n' "$bundle"
        requests=$((requests + 4))
    done >"$work/requests"
    timeout -s KILL 600 "$engine" <"$work/requests" >"$work/replies" 2>>"$work/stderr"
    status=$?
    if ((status != 0)) || ! check=$("$sweep" protocol-only "$work/replies" $((requests + 1))); then
        echo "| (all) | | the engine process | FAILED: exit status $status; $check |"
    else
        echo "| (all) | | the engine process | $requests requests answered, protocol lines only |"
    fi

    # The SDK's host checker: what it reports about the host, on stderr and
    # through its read-only parameters.
    checker=/usr/lib/vst3/hostchecker.vst3
    if [[ -d "$checker" ]]; then
        echo
        echo "hostchecker's read-only parameters:"
        "$sweep" read-only "$checker" 2>"$work/hostchecker"
        echo "hostchecker on stderr:"
        if [[ -s "$work/hostchecker" ]]; then cat "$work/hostchecker"; else echo "(nothing)"; fi
    fi
} | tee "$table"
echo "plugin-sweep: table in $table"
! grep -q '| FAILED: ' "$table"
