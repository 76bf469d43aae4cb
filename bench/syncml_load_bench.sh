#!/usr/bin/env bash
# `vantrel serve` under load: N SyncEvolution clients of N devices at once on loopback, in XML
# and in WBXML. For each encoding: a round of first (slow) sessions that bring 100 notes each to
# the PC, then a round of sessions without changes; prints sessions per second (wall time of the
# whole round) and the server's CPU (user + system of the `vantrel serve` process, from /proc)
# per session and per note. Then one client runs SESSIONS sessions without changes in a row and
# the server's resident memory is printed along the way: it must stay flat.
#
#   bench/syncml_load_bench.sh VANTREL_EXE [N] [SESSIONS]     (defaults 20 and 200)
#
# Figures, not a test: docs/syncml-server.md keeps them. The clients run on the same machine,
# so on few cores their own start-up (SyncEvolution spends about 0.3 s of CPU per session)
# bounds the sessions per second, not the server.
set -euo pipefail
vantrel=$1
n=${2:-20}
sessions=${3:-200}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../tests/interop/syncevo_client.sh
source "$here/tests/interop/syncevo_client.sh"
# shellcheck source=serve_bench_lib.sh
source "$here/bench/serve_bench_lib.sh"
T=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-load.XXXXXX")
pid=""
trap 'if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi; rm -rf "$T"' EXIT
notes=100

# sandbox NAME: a home with n devices, a running server, n clients with 100 notes each.
sandbox() {
    if [[ -n "$pid" ]]; then kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""; fi
    S=$T/$1
    local k i
    local -a devices=()
    for k in $(seq "$n"); do devices+=("load-device-$k" "dev$k"); done
    bench_home "$S" "${devices[@]}"
    start_serve "$S/serve.log"
    pid=$serve_pid
    for k in $(seq "$n"); do
        mkdir -p "$S/notes-$k"
        for i in $(seq "$notes"); do
            printf 'Device %d note %d\nsecond line with a few more words in it\n' "$k" "$i" \
                >"$S/notes-$k/$i"
        done
        syncevo_setup "$S/client-$k" "$URL" u pw "$S/notes-$k" "load-device-$k" >/dev/null
    done
}

# round LABEL MODE NOTES_PER_SESSION: all n clients at once.
round() {
    local c0 t0 c1 t1 k failed=0
    local -a pids=()
    c0=$(cpu_ms "$pid")
    t0=$(now_ms)
    for k in $(seq "$n"); do
        syncevo_run "$S/client-$k" "$2" >/dev/null 2>&1 &
        pids+=($!)
    done
    for k in "${pids[@]}"; do wait "$k" || failed=$((failed + 1)); done
    t1=$(now_ms)
    c1=$(cpu_ms "$pid")
    ((failed == 0)) || { echo "$1: $failed sessions failed" >&2; cat "$S/serve.log" >&2; exit 1; }
    awk -v l="$1" -v n="$n" -v c=$((c1 - c0)) -v w=$((t1 - t0)) -v per="$3" 'BEGIN {
        printf "%-34s %5.1f sessions/s   server CPU %5d ms: %6.1f ms a session", l, n * 1000 / w, c, c / n
        if (per > 0) printf ", %5.0f us a note", 1000 * c / (n * per)
        printf "\n" }'
}

for encoding in xml wbxml; do
    export VANTREL_SYNCEVO_WBXML=$([[ $encoding == wbxml ]] && echo 1 || echo 0)
    sandbox "$encoding"
    round "$encoding: $n x slow sync, $notes notes up" slow "$notes"
    sleep 1.1  # past the clients' one-second wait for fresh changes
    round "$encoding: $n x no changes" two-way 0
done

export VANTREL_SYNCEVO_WBXML=0
sandbox memory
syncevo_run "$S/client-1" slow >/dev/null
for s in $(seq "$sessions"); do
    syncevo_run "$S/client-1" two-way >/dev/null || { echo "session $s failed" >&2; exit 1; }
    case $s in
        10 | 50 | 100 | 150 | "$sessions") printf 'after %4d sessions in a row: server RSS %6d KB\n' "$s" "$(rss_kb "$pid")" ;;
    esac
done
