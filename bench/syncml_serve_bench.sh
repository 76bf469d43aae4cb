#!/usr/bin/env bash
# Measures `vantrel serve` with SyncEvolution as its client: the server process's CPU time (user
# + system, from /proc) and the client's wall time for a slow sync of N notes up (client to PC),
# N notes down (PC to client) and a session without changes, each in a fresh sandbox.
#
#   bench/syncml_serve_bench.sh VANTREL_EXE [N]        (N defaults to 1000)
#
# Figures, not a test: docs/syncml-server.md keeps them.
set -euo pipefail
vantrel=$1
n=${2:-1000}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../tests/interop/syncevo_client.sh
source "$here/tests/interop/syncevo_client.sh"
# shellcheck source=serve_bench_lib.sh
source "$here/bench/serve_bench_lib.sh"
T=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bench.XXXXXX")
pid=""
trap 'if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi; rm -rf "$T"' EXIT

# sandbox NAME: a home, a device, a running server, a client; sets S, PC, CN, URL, pid.
sandbox() {
    if [[ -n "$pid" ]]; then kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""; fi
    S=$T/$1
    PC=$S/pc/dev/Notes
    CN=$S/client-notes
    mkdir -p "$PC" "$CN"
    bench_home "$S"
    start_serve "$S/serve.log"
    pid=$serve_pid
    syncevo_setup "$S/client" "$URL" u pw "$CN" bench-device "${MAXMSG:-}" >/dev/null
}

# measure LABEL MODE: one client session; prints the server's CPU and the client's wall time.
measure() {
    local c0 c1 t0 t1
    c0=$(cpu_ms "$pid")
    t0=$(now_ms)
    syncevo_run "$S/client" "$2" || { echo "$1: the session failed" >&2; cat "$S/serve.log" >&2; exit 1; }
    t1=$(now_ms)
    c1=$(cpu_ms "$pid")
    printf '%-32s server CPU %6d ms   client wall %6d ms   server CPU / wall %5.1f %%\n' \
        "$1" $((c1 - c0)) $((t1 - t0)) "$(awk -v c=$((c1 - c0)) -v w=$((t1 - t0)) 'BEGIN { print 100 * c / w }')"
}

note() { printf 'Note %d of the benchmark\nsecond line with a few more words in it\n' "$1"; }

sandbox up
for i in $(seq "$n"); do note "$i" >"$CN/$i"; done
measure "slow sync, $n notes up" slow
# For scale: what the file system alone charges for the files an upload makes, on the same file
# system at the same moment: each note written beside its name and renamed over it, and the
# module's debug copy of each received item. Creating files costs most (ext4's inode allocation
# grows dear after many recent deletes, so the figures vary between runs).
baseline=$(dirname "$vantrel")/../bench/e2e_bench
if [[ -x $baseline ]]; then
    fs_ms=$(("$($baseline --write-files "$S/plain-notes" "$n")" + "$($baseline --write-files "$S/plain-copies" "$n")"))
    printf '%-32s   plain CPU %6d ms   (the same %d files written by a small program)\n' \
        "  for scale: the files alone" "$fs_ms" $((2 * n))
fi
measure "no changes, $n notes" two-way

sandbox down
for i in $(seq "$n"); do note "$i" >"$PC/n$i.txt"; done
measure "slow sync, $n notes down" slow

sandbox both
for i in $(seq "$n"); do note "$i" >"$PC/n$i.txt"; note "$i" >"$CN/$i"; done
measure "slow sync, $n notes each way" slow
