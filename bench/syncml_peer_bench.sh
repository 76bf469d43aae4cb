#!/usr/bin/env bash
# Measures `vantrel serve` side by side with SyncEvolution's own SyncML server, with the same
# SyncEvolution client (tests/interop/syncevo_client.sh) and the same notes on both:
#   - slow sync, N notes up (client to server),
#   - no changes (a two-way session right after that slow sync),
#   - slow sync, N notes down (server to client).
# For each it prints the server side's CPU time (user + system, from /proc/PID/stat fields 14-17,
# so children reaped by a server count too) and the client's wall time, ours and the peer's,
# and the ratio ours / peer.
#
#   bench/syncml_peer_bench.sh VANTREL_EXE [N]        (N defaults to 1000)
#
# Exits non-zero if a session fails, if a server ends up with the wrong number of notes, or if
# something does not come up in time. Figures, not a test.
#
# What it needs (Debian 12):
#   syncevolution         the client (/usr/bin/syncevolution)
#   syncevolution-http    the peer's HTTP front end, /usr/bin/syncevo-http-server; pulls in
#                         syncevolution-dbus (syncevo-dbus-server, syncevo-dbus-helper),
#                         python3-dbus, python3-gi, python3-openssl, dbus-x11
#   python3-twisted       needed by syncevo-http-server, not pulled in by the package
#   dbus-daemon, dbus-bin a private session bus for the peer (dbus-daemon, dbus-send)
#   util-linux, iproute2  unshare and ip, to keep everything on a private loopback (see below)
#   gcc                   only if VANTREL_CURLFIX is unset (the client's libcurl preload fix is
#                         then built from tests/interop/curl_setopt_fix.c)
#
# How the peer runs:
#   - syncevo-http-server starts with a literal "#!@PYTHON@" line, so it runs as
#     `/usr/bin/python3 /usr/bin/syncevo-http-server http://127.0.0.1:0/syncevolution` (the
#     system Python, which has dbus, gi and twisted), with its default log level (INFO, to a
#     file). It learns its port from the log line "listening on port N".
#   - It talks to syncevo-dbus-server over a private session bus (a dbus-daemon of our own on a
#     socket in the temp folder). syncevo-dbus-server is started by plain D-Bus activation
#     (--start-syncevolution looks for the backends in the wrong folder on Debian) before the
#     first measured session, so starting it is not measured; each session runs in a
#     syncevo-dbus-helper process that syncevo-dbus-server forks and reaps.
#   - Its configuration lives in its own HOME and XDG folders in the temp folder: one peer
#     config made from the "SyncEvolution Client" template with remoteDeviceId = the client's
#     device id, username/password as the client's, keyring=no, and one datastore "memo"
#     (backend=file, databaseFormat=text/plain, uri=Notes) over a folder of one note per file.
#   - Settings (VANTREL_PEER_SETTINGS):
#       lean (default)  dumpData=0 printChanges=0 loglevel=1 logdir=none: no database backups
#                       before and after a session, no change listing, no session log. With
#                       logdir=none its session ends with a logged, harmless error "object not
#                       found ... none: No such file or directory"; the client still reports
#                       success and the next session is a normal two-way one.
#       shipped         the template's values: a backup of the whole database before and after
#                       every session and a full debug log (to $XDG_CACHE_HOME, in the temp
#                       folder).
#   - Its CPU is the sum over every process of its session: the HTTP front end (python3), the
#     dbus-daemon, and syncevo-dbus-server with its reaped children (the per-session
#     syncevo-dbus-helper). After the client is done we wait for the helper to be reaped.
#   - It listens on every interface whatever the URL says. So when run as root the whole
#     benchmark re-runs itself in new network, PID and mount namespaces (unshare): only a
#     private loopback exists, and every process it started dies with it. Without that it runs
#     as it is and says so: the peer is then reachable from the network while it runs.
#
# Our server runs as bench/syncml_serve_bench.sh runs it: its own VANTREL_HOME, `register`,
# `config Root`, one device, `serve --listen 127.0.0.1:0`.
#
# Both servers get a fresh sandbox (server data, client) for the "up" pair of sessions and
# another for "down". The client is configured by syncevo_setup as in the interop tests
# (loglevel=1, no dumps, no change listing, session logs kept: logdir=none breaks the client).
#
# Reading the wall times: they hold the SyncEvolution engine's own waits, whichever server it
# talks to. The side that wrote notes waits about a second before it finishes (the client on
# "down", the peer on "up"), and the peer reads its notes in a background thread that it checks
# on about once a second (in every session, "no changes" too).
#
# Environment: VANTREL_CURLFIX (see tests/interop/syncevo_client.sh), VANTREL_SYNCEVO_TIMEOUT
# (seconds per client session, default here 300), VANTREL_PEER_SETTINGS (lean or shipped),
# VANTREL_BENCH_KEEP=1 keeps the temp folder (its path is printed).
set -euo pipefail

usage() {
    echo "usage: $0 VANTREL_EXE [N]" >&2
    exit 2
}
(($# >= 1 && $# <= 2)) || usage
[[ -x "$1" ]] || {
    echo "$0: '$1' is not an executable" >&2
    exit 2
}
vantrel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
n=${2:-1000}
[[ "$n" =~ ^[1-9][0-9]*$ ]] || usage
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
settings=${VANTREL_PEER_SETTINGS:-lean}
[[ "$settings" == lean || "$settings" == shipped ]] || {
    echo "$0: VANTREL_PEER_SETTINGS must be 'lean' or 'shipped'" >&2
    exit 2
}

# Everything the peer needs, checked before doing anything.
# What it needs, installed by the project's own script (a no-op once present).
VANTREL_WITH_PEER=1 "$(dirname "${BASH_SOURCE[0]}")/../scripts/install-deps.sh" ||
    echo "$0: installing the peer's packages failed; checking what is there" >&2

missing=()
for f in /usr/bin/syncevolution /usr/bin/syncevo-http-server /usr/libexec/syncevo-dbus-server \
    /usr/bin/python3 /usr/bin/dbus-daemon /usr/bin/dbus-send; do
    [[ -x "$f" || ( "$f" == /usr/bin/syncevo-http-server && -f "$f" ) ]] || missing+=("$f")
done
if [[ -x /usr/bin/python3 ]] && ! /usr/bin/python3 -c 'import twisted.web, dbus, gi' 2>/dev/null; then
    missing+=("python3 modules twisted, dbus, gi")
fi
if ((${#missing[@]})); then
    echo "$0: missing: ${missing[*]}" >&2
    echo "  VANTREL_WITH_PEER=1 scripts/install-deps.sh installs them" >&2
    exit 2
fi

# stat_rest PID: the fields of /proc/PID/stat after the command name, so field 3 (state) is $1,
# ppid $2, utime $12, stime $13, cutime $14, cstime $15. Empty if the process is gone.
stat_rest() {
    local s=""
    read -r s 2>/dev/null <"/proc/$1/stat" || true
    [[ -z "$s" ]] || printf '%s\n' "${s##*) }"
}

# children PID: the pids whose parent is PID.
children() {
    local f r
    for f in /proc/[0-9]*/stat; do
        r=""
        read -r r 2>/dev/null <"$f" || continue
        r=${r##*) }
        r=${r#* }
        if [[ "${r%% *}" == "$1" ]]; then
            f=${f#/proc/}
            echo "${f%/stat}"
        fi
    done
}

# descendants PID: children, grandchildren, ... of PID.
descendants() {
    local c
    for c in $(children "$1"); do
        echo "$c"
        descendants "$c"
    done
}

# Re-run inside our own network namespace (loopback only) and PID namespace (nothing we start
# outlives us), when we may. unshare ignores SIGINT and SIGTERM while it waits, so we pass them
# on to the script inside (its only child) and give it time to clean up.
if [[ -z "${VANTREL_PEER_BENCH_NS:-}" ]]; then
    if [[ $(id -u) == 0 ]] && command -v unshare >/dev/null && command -v ip >/dev/null &&
        unshare --net --pid --fork --kill-child --mount-proc true 2>/dev/null; then
        VANTREL_PEER_BENCH_NS=1 unshare --net --pid --fork --kill-child --mount-proc -- \
            bash "$here/bench/syncml_peer_bench.sh" "$vantrel" "$n" &
        ns_pid=$!
        pass_on() {
            trap '' INT TERM HUP
            local inner i
            inner=$(children "$ns_pid")
            if [[ -n "$inner" ]]; then kill -TERM "$inner" 2>/dev/null || true; fi
            # A minute to clean up; then SIGKILL, which takes down everything inside.
            for ((i = 0; i < 600; i++)); do
                [[ -n "$(children "$ns_pid")" ]] || break
                sleep 0.1
            done
            kill -KILL "$ns_pid" 2>/dev/null || true
            wait "$ns_pid" 2>/dev/null || true
            exit "$1"
        }
        trap 'pass_on 130' INT
        trap 'pass_on 143' TERM HUP
        status=0
        wait "$ns_pid" || status=$?
        exit "$status"
    fi
    VANTREL_PEER_BENCH_NS=0
fi
if [[ "$VANTREL_PEER_BENCH_NS" == 1 ]]; then
    ip link set lo up
    where="private network namespace (loopback only)"
else
    where="host network: the peer listened on all interfaces while this ran"
fi

# The build under test may be rebuilt while we run; notice it rather than mix two builds.
exe_stamp() { stat -L -c '%i %s %Y' "$vantrel"; }
vantrel_stamp=$(exe_stamp)

# shellcheck source=../tests/interop/syncevo_client.sh
source "$here/tests/interop/syncevo_client.sh"
# shellcheck source=serve_bench_lib.sh
source "$here/bench/serve_bench_lib.sh"
export VANTREL_SYNCEVO_TIMEOUT=${VANTREL_SYNCEVO_TIMEOUT:-300}
T=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-peer-bench.XXXXXX")
if [[ -z "${VANTREL_CURLFIX:-}" ]]; then
    # Build the client's preload fix once rather than once per client.
    VANTREL_CURLFIX=$(_syncevo_curlfix "$T") || { rm -rf "$T"; exit 1; }
    export VANTREL_CURLFIX
fi

# Processes of the current sandboxes (empty when not running).
ours_pid=""
client_pid=""
http_pid=""
bus_pid=""
evo_pid=""

# cpu_ticks PID...: user + system time of the processes and of their reaped children.
cpu_ticks() {
    local p total=0 r
    for p in "$@"; do
        r=$(stat_rest "$p")
        [[ -n "$r" ]] || {
            echo "cpu_ticks: process $p is gone" >&2
            return 1
        }
        total=$((total + $(awk '{ print $12 + $13 + $14 + $15 }' <<<"$r")))
    done
    echo "$total"
}


# stop PID: SIGTERM, then SIGKILL after 5 s; waits for our own children.
stop() {
    local p=$1 i
    [[ -n "$p" && -d /proc/$p ]] || return 0
    kill "$p" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
        [[ -d /proc/$p && "$(stat_rest "$p" | cut -d' ' -f1)" != Z ]] || break
        sleep 0.1
    done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
}

stop_ours() {
    stop "$ours_pid"
    ours_pid=""
}

# stop_tree PID: stops PID and everything it started (SIGTERM, SIGKILL after 5 s).
stop_tree() {
    [[ -n "$1" ]] || return 0
    local -a all
    local p i alive
    read -r -a all <<<"$(descendants "$1" | tr '\n' ' ')"
    for p in "${all[@]}"; do kill "$p" 2>/dev/null || true; done
    for ((i = 0; i < 50; i++)); do
        alive=0
        for p in "${all[@]}"; do
            if [[ -d /proc/$p && "$(stat_rest "$p" | cut -d' ' -f1)" != Z ]]; then alive=1; fi
        done
        ((alive)) || break
        sleep 0.1
    done
    for p in "${all[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    stop "$1"
}

stop_peer() {
    stop_tree "$evo_pid"
    stop "$http_pid"
    stop "$evo_pid"
    stop "$bus_pid"
    http_pid="" evo_pid="" bus_pid=""
}

cleanup() {
    local status=$?
    trap '' INT TERM HUP
    trap - EXIT
    stop_tree "$client_pid"
    stop_ours
    stop_peer
    if [[ "${VANTREL_BENCH_KEEP:-}" == 1 ]]; then
        echo "kept $T" >&2
    else
        rm -rf "$T"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

fail() {
    echo "$0: $*" >&2
    exit 1
}

# wait_for WHAT SECONDS COMMAND...: polls COMMAND every 50 ms.
wait_for() {
    local what=$1 i
    local limit=$(($2 * 20))
    shift 2
    for ((i = 0; i < limit; i++)); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    fail "timed out waiting for $what"
}

note() { printf 'Note %d of the benchmark\nsecond line with a few more words in it\n' "$1"; }

# write_notes DIR NAME: N notes in DIR, named NAME with its "#" replaced by 1, 2, ...
write_notes() {
    local i
    for ((i = 1; i <= n; i++)); do note "$i" >"$1/${2/\#/$i}"; done
}

# count_notes DIR NAME_PATTERN
count_notes() { find "$1" -maxdepth 1 -type f -name "$2" ! -name '.*' | wc -l; }

# ---- our server ----------------------------------------------------------------------------

# ours_sandbox NAME: a home, a device, a running `vantrel serve`, a client; sets S, DB (the
# server's notes folder), DB_NOTE (the name for a note put there, "#" standing for its number),
# DB_GLOB (what a note's name there looks like), CN (the client's notes), CL (the client's
# folder).
ours_sandbox() {
    stop_ours
    S=$T/ours-$1
    DB_NOTE=n#.txt
    DB_GLOB='*.txt'
    DB=$S/pc/dev/Notes
    CN=$S/client-notes
    CL=$S/client
    mkdir -p "$DB" "$CN"
    bench_home "$S"
    : >"$S/serve.log"
    "$vantrel" serve --listen 127.0.0.1:0 >>"$S/serve.log" 2>&1 &
    ours_pid=$!
    wait_for "vantrel serve to listen" 20 grep -q "serving SyncML" "$S/serve.log"
    local url
    url=$(grep -o 'http://[^ ]*/sync' "$S/serve.log" | head -n 1)
    syncevo_setup "$CL" "$url" u pw "$CN" bench-device >/dev/null
}

ours_cpu() { cpu_ticks "$ours_pid"; }
ours_after() { :; }

# ---- the peer ------------------------------------------------------------------------------

# The environment of every peer process: its own home and XDG folders, nothing else of ours.
peer_env() {
    PEER_ENV=(
        PATH=/usr/bin:/bin
        LANG=C.UTF-8
        TZ=UTC
        "HOME=$S/home"
        "XDG_CONFIG_HOME=$S/config"
        "XDG_DATA_HOME=$S/data"
        "XDG_CACHE_HOME=$S/cache"
    )
}

bus_call() {
    env -i "${PEER_ENV[@]}" dbus-send "--bus=$bus_addr" --print-reply --reply-timeout=20000 \
        --dest=org.freedesktop.DBus /org/freedesktop/DBus "org.freedesktop.DBus.$1" "${@:2}"
}

http_port() { sed -n 's/.*listening on port \([0-9][0-9]*\).*/\1/p' "$S/http.log" | head -n 1; }

# peer_sandbox NAME: server configuration, a private session bus, syncevo-dbus-server (activated
# through the bus), syncevo-http-server, a client; sets S, DB, DB_NOTE, DB_GLOB, CN, CL like
# ours_sandbox.
peer_sandbox() {
    stop_peer
    S=$T/peer-$1
    DB=$S/db
    DB_NOTE=n#
    DB_GLOB='*'
    CN=$S/client-notes
    CL=$S/client
    mkdir -p "$S/home" "$S/config" "$S/data" "$S/cache" "$DB" "$CN"
    local -a PEER_ENV
    peer_env

    local -a props=(
        remoteDeviceId=bench-device
        username=u
        password=pw
        keyring=no
    )
    if [[ "$settings" == lean ]]; then
        props+=(dumpData=0 printChanges=0 loglevel=1 logdir=none)
    fi
    props+=(backend=file "database=file://$DB" databaseFormat=text/plain uri=Notes sync=two-way)
    env -i "${PEER_ENV[@]}" syncevolution --configure --template "SyncEvolution Client" \
        "${props[@]}" bench memo >"$S/configure.log" 2>&1 ||
        { cat "$S/configure.log" >&2; fail "configuring the peer failed"; }

    : >"$S/bus.addr"
    env -i "${PEER_ENV[@]}" dbus-daemon --session --nofork --nopidfile \
        "--address=unix:path=$S/bus" --print-address=1 >>"$S/bus.addr" 2>"$S/dbus.log" &
    bus_pid=$!
    wait_for "the peer's dbus-daemon" 20 test -s "$S/bus.addr"
    bus_addr=$(head -n 1 "$S/bus.addr")

    # Start syncevo-dbus-server now, outside the measurement, and learn its pid.
    bus_call StartServiceByName string:org.syncevolution uint32:0 >/dev/null ||
        fail "D-Bus activation of syncevo-dbus-server failed"
    evo_pid=$(bus_call GetConnectionUnixProcessID string:org.syncevolution | awk '/uint32/ { print $2 }')
    [[ -n "$evo_pid" && -d /proc/$evo_pid ]] || fail "no pid for syncevo-dbus-server"

    : >"$S/http.log"
    env -i "${PEER_ENV[@]}" "DBUS_SESSION_BUS_ADDRESS=$bus_addr" /usr/bin/python3 \
        /usr/bin/syncevo-http-server http://127.0.0.1:0/syncevolution >>"$S/http.log" 2>&1 &
    http_pid=$!
    wait_for "syncevo-http-server to listen" 30 grep -q "listening on port" "$S/http.log"
    syncevo_setup "$CL" "http://127.0.0.1:$(http_port)/syncevolution" u pw "$CN" bench-device >/dev/null
}

peer_cpu() { cpu_ticks "$http_pid" "$bus_pid" "$evo_pid"; }

# peer_split: the peer's CPU ticks by process: front end, dbus-daemon, syncevo-dbus-server
# itself, its reaped children (the helpers).
peer_split() {
    local h b e
    h=$(stat_rest "$http_pid")
    b=$(stat_rest "$bus_pid")
    e=$(stat_rest "$evo_pid")
    awk '{ print $12 + $13 + $14 + $15 }' <<<"$h" | tr '\n' ' '
    awk '{ print $12 + $13 + $14 + $15 }' <<<"$b" | tr '\n' ' '
    awk '{ print $12 + $13, $14 + $15 }' <<<"$e"
}

has_children() { [[ -n "$(children "$1")" ]]; }
no_children() { ! has_children "$1"; }

# After the client is done: syncevo-dbus-server must have reaped the session's helper, so its
# CPU shows in the server's child times.
peer_after() {
    [[ -d /proc/$evo_pid ]] || fail "syncevo-dbus-server (pid $evo_pid) went away"
    wait_for "syncevo-dbus-helper to exit" 30 no_children "$evo_pid"
}

# ---- measuring -----------------------------------------------------------------------------

# settle WHO: waits (up to 5 s) until WHO's CPU stays the same for 300 ms, so that work done
# after the client went away is counted.
settle() {
    local a b i
    a=$("${1}_cpu")
    for ((i = 0; i < 50; i++)); do
        sleep 0.3
        b=$("${1}_cpu")
        [[ "$a" != "$b" ]] || return 0
        a=$b
    done
}

declare -A cpu_ms wall_ms split_ms

# measure WHO KEY MODE EXPECTED_MODE: one client session against WHO (ours or peer) in the
# current sandbox; stores the server's CPU and the client's wall time under KEY.
measure() {
    local who=$1 key=$2 mode=$3 expect=$4 c0 c1 t0 t1 status got
    local -a s0 s1
    settle "$who"
    c0=$("${who}_cpu")
    [[ $who == peer ]] && read -r -a s0 <<<"$(peer_split)"
    t0=$(now_ms)
    status=0
    # In the background, so that a signal is handled at once, not when the client is done.
    syncevo_run "$CL" "$mode" &
    client_pid=$!
    wait "$client_pid" || status=$?
    client_pid=""
    t1=$(now_ms)
    if ((status != 0)); then
        cat "$CL/last-run.log" >&2
        fail "$who, $key: the client failed (exit $status); see above"
    fi
    "${who}_after"
    settle "$who"
    c1=$("${who}_cpu")
    if [[ $who == peer ]]; then
        read -r -a s1 <<<"$(peer_split)"
        split_ms[$key]=$(printf '%d / %d / %d / %d' \
            $(((s1[0] - s0[0]) * 1000 / tick)) $(((s1[1] - s0[1]) * 1000 / tick)) \
            $(((s1[2] - s0[2]) * 1000 / tick)) $(((s1[3] - s0[3]) * 1000 / tick)))
    fi
    got=$(syncevo_last_status "$CL")
    [[ "$got" == 200 ]] || fail "$who, $key: session status $got"
    got=$(syncevo_last_status "$CL" source-memo-mode)
    [[ "$got" == "$expect" ]] || fail "$who, $key: the datastore ran '$got', not '$expect'"
    cpu_ms[$who,$key]=$(((c1 - c0) * 1000 / tick))
    wall_ms[$who,$key]=$((t1 - t0))
}

# expect_count server|client COUNT WHAT: checks the number of notes on one side.
expect_count() {
    local c
    if [[ $1 == server ]]; then
        c=$(count_notes "$DB" "$DB_GLOB")
    else
        c=$(count_notes "$CN" '*')
    fi
    ((c == $2)) || fail "$3: $c notes, expected $2"
}

for who in ours peer; do
    "${who}_sandbox" up
    write_notes "$CN" "#"
    measure "$who" up slow slow
    expect_count server "$n" "$who, the server after the slow sync up"
    measure "$who" none two-way two-way
    expect_count server "$n" "$who, the server after the session without changes"
    expect_count client "$n" "$who, the client after the session without changes"
    "stop_$who"

    "${who}_sandbox" down
    write_notes "$DB" "$DB_NOTE"
    measure "$who" down slow slow
    expect_count client "$n" "$who, the client after the slow sync down"
    "stop_$who"
done

[[ "$(exe_stamp)" == "$vantrel_stamp" ]] || fail "$vantrel changed during the run; run again"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

echo "SyncML servers, $n notes, same SyncEvolution client; $where"
echo "peer: syncevo-http-server + syncevo-dbus-server (settings: $settings$(
    [[ $settings == lean ]] && echo ": dumpData=0 printChanges=0 loglevel=1 logdir=none"))"
echo "CPU = user + system of the server side (peer: python3 front end + dbus-daemon +"
echo "syncevo-dbus-server with its reaped syncevo-dbus-helper); wall = the client's session"
printf '%-28s %9s %9s %9s   %10s %10s %9s\n' session "ours CPU" "peer CPU" "ours/peer" \
    "ours wall" "peer wall" "ours/peer"
for key in up down none; do
    case $key in
        up) label="slow sync, $n notes up" ;;
        down) label="slow sync, $n notes down" ;;
        none) label="no changes, $n notes" ;;
    esac
    printf '%-28s %6d ms %6d ms %9s   %7d ms %7d ms %9s\n' "$label" \
        "${cpu_ms[ours,$key]}" "${cpu_ms[peer,$key]}" "$(ratio "${cpu_ms[ours,$key]}" "${cpu_ms[peer,$key]}")" \
        "${wall_ms[ours,$key]}" "${wall_ms[peer,$key]}" "$(ratio "${wall_ms[ours,$key]}" "${wall_ms[peer,$key]}")"
done
echo "peer CPU by process (front end / dbus-daemon / syncevo-dbus-server / its helper), ms:"
for key in up down none; do
    printf '  %-5s %s\n' "$key" "${split_ms[$key]}"
done
