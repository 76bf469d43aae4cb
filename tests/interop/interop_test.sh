#!/usr/bin/env bash
# Interoperability tests of `vantrel serve` with a real SyncML client: Debian's SyncEvolution
# (file backend, text/plain memos). Each scenario runs in a sandbox of its own (VANTREL_HOME,
# a PC notes Root, a client folder) against its own server on a free loopback port, and compares
# both folders note by note afterwards: the PC's files byte for byte against what they should
# hold, the client's files as text (the client turns line ends into CRLF and appends one).
#
#   interop_test.sh VANTREL_EXE SCENARIO
#
# Scenarios: first-slow, two-way, conflict, many, wrong-password, lost-state, anchor-mismatch,
# beside-virtual-phone, interrupted. Exit 0 passed, 1 failed, 77 skipped (no client installed).
set -euo pipefail

vantrel=$1
scenario=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if ! command -v syncevolution >/dev/null; then
    echo "SKIP: the SyncML client 'syncevolution' is not installed (scripts/install-deps.sh)"
    exit 77
fi
# shellcheck source=syncevo_client.sh
source "$here/syncevo_client.sh"

T=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-interop.XXXXXX")
server_pid=""
cleanup() {
    if [[ -n "$server_pid" ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [[ "${KEEP:-0}" != 1 ]]; then rm -rf "$T"; else echo "kept $T"; fi
}
trap cleanup EXIT

fail() {
    echo "FAIL ($scenario): $*" >&2
    [[ -f "$T/serve.log" ]] && { echo "--- server output:" >&2; cat "$T/serve.log" >&2; }
    [[ -f "$T/client/last-run.log" ]] && { echo "--- client output:" >&2; tail -20 "$T/client/last-run.log" >&2; }
    exit 1
}

export VANTREL_HOME=$T/home
DEVICE=interop-device-1
PC=$T/pc/dev/Notes
CLIENT_NOTES=$T/client-notes

# A sandbox: the module registered, Root set, the device added with its password.
setup_home() {
    mkdir -p "$T/pc" "$PC"
    "$vantrel" register >/dev/null || fail "register"
    "$vantrel" config Root "$T/pc" >/dev/null || fail "config Root"
    "$vantrel" config language en >/dev/null || fail "config language"
    printf 'secret-pw\n' >"$T/pw"
    "$vantrel" device add "$DEVICE" --alias dev --user alice --password-file "$T/pw" >/dev/null ||
        fail "device add"
}

# start_server [PORT]: a free port unless given; SERVE_ARGS are added.
SERVE_ARGS=()
start_server() {
    "$vantrel" serve --listen "127.0.0.1:${1:-0}" "${SERVE_ARGS[@]}" >"$T/serve.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        if grep -q "serving SyncML on" "$T/serve.log"; then break; fi
        sleep 0.1
    done
    URL=$(grep -Eo 'https?://[^ ]*/sync' "$T/serve.log" | head -1)
    [[ -n "$URL" ]] || fail "the server did not start"
}

# setup_client DIR [PASSWORD] [MAXMSGSIZE]; CLIENT_PROPS are configured too.
CLIENT_PROPS=()
setup_client() {
    syncevo_setup "$1" "$URL" alice "${2:-secret-pw}" "$CLIENT_NOTES" "$DEVICE" "${3:-}" \
        >/dev/null || fail "client set-up"
    if ((${#CLIENT_PROPS[@]} > 0)); then
        syncevo_configure "$1" "${CLIENT_PROPS[@]}" >/dev/null || fail "client configure"
    fi
}

# run_client DIR MODE: one session that must succeed.
run_client() {
    local mode=${2:-two-way}
    syncevo_run "$1" "$mode" || fail "client session ($mode) exited $?"
    [[ "$(syncevo_last_status "$1")" == 200 ]] || fail "client session status $(syncevo_last_status "$1")"
}

# The text of a client note: CR dropped, trailing line ends dropped.
text_of() { tr -d '\r' <"$1" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }

# expect_pc NAME CONTENT: the PC note's bytes (printf format).
expect_pc() {
    [[ -f "$PC/$1" ]] || fail "PC note $1 missing (has: $(ls "$PC" | tr '\n' ' '))"
    cmp -s <(printf "$2") "$PC/$1" || fail "PC note $1 holds $(od -c "$PC/$1" | head -3)"
}

# The text of each file given, one line per file (its lines joined with '|', CRs and trailing
# line ends dropped), sorted: what a note says, whatever the line-end habits of its side.
texts() {
    awk 'FNR == 1 && NR > 1 { print t } FNR == 1 { t = ""; blank = 0 }
         { sub(/\r$/, ""); gsub(/\r/, "") }
         $0 == "" { blank++; next }
         { while (blank > 0) { t = t "|"; blank-- } t = (FNR == 1 || t == "" ? t : t "|") $0 }
         END { if (NR > 0) print t }' "$@" | sort
}
client_texts() { texts "$CLIENT_NOTES"/*; }
pc_texts() { texts "$PC"/*.txt; }
expect_same_notes() {
    diff <(pc_texts) <(client_texts) >"$T/diff" || fail "PC and client differ: $(cat "$T/diff")"
}
count() { find "$1" -maxdepth 1 -type f ! -name folder.xml | wc -l; }

first_slow() {
    setup_home
    printf 'PC one\n' >"$PC/a.txt"
    printf 'PC two\r\nsecond line\r\n' >"$PC/b.txt"
    mkdir -p "$CLIENT_NOTES"
    printf 'client one\n' >"$CLIENT_NOTES/1"
    printf 'client two' >"$CLIENT_NOTES/2"
    start_server
    setup_client "$T/client"
    # The client refuses a slow sync it was not asked for while it holds notes: the first
    # session with notes on both sides is `--sync slow`.
    run_client "$T/client" slow
    expect_pc a.txt 'PC one\n'
    expect_pc b.txt 'PC two\r\nsecond line\r\n'
    [[ $(count "$PC") == 4 && $(count "$CLIENT_NOTES") == 4 ]] ||
        fail "expected 4 notes on each side, PC $(count "$PC"), client $(count "$CLIENT_NOTES")"
    expect_same_notes
    grep -q "dev: slow sync finished" "$T/serve.log" || fail "no session line"
}

scenario_first_slow() { first_slow; }

# Notes of 100 KB and 1 MB each way, larger than the client's messages (MaxMsgSize 150000):
# they travel in pieces (MoreData) and arrive whole; then a session without changes.
big_note() { awk -v n="$2" -v w="$1" 'BEGIN { for (i = 1; i <= n; i++) printf "%s line %d: %s\n", w, i, "some words to make the line longer than most"; }'; }
scenario_large() {
    setup_home
    mkdir -p "$CLIENT_NOTES"
    big_note pc-small 1500 >"$PC/small.txt"
    big_note pc-big 15000 >"$PC/big.txt"
    big_note client-small 1500 >"$CLIENT_NOTES/1"
    big_note client-big 15000 >"$CLIENT_NOTES/2"
    local before
    before=$(cd "$PC" && md5sum small.txt big.txt)
    start_server
    setup_client "$T/client"
    run_client "$T/client" slow
    [[ $(count "$PC") == 4 && $(count "$CLIENT_NOTES") == 4 ]] ||
        fail "expected 4 notes on each side, PC $(count "$PC"), client $(count "$CLIENT_NOTES")"
    [[ "$(cd "$PC" && md5sum small.txt big.txt)" == "$before" ]] || fail "the PC's notes changed"
    expect_same_notes
    local sizes
    sizes=$(wc -c "$PC"/*.txt | sort -n | head -4 | awk '{print $1}' | tr '\n' ' ')
    (($(wc -c <"$(grep -l client-big "$PC"/*.txt)") > 1000000)) || fail "the big note arrived cut: $sizes"
    run_client "$T/client" two-way
    [[ "$(cd "$PC" && md5sum small.txt big.txt)" == "$before" ]] || fail "the PC's notes changed"
    expect_same_notes
}

# Twenty clients of twenty devices at once, each with 100 notes of its own: every session
# finishes and every note arrives once, in its device's folder.
scenario_many_devices() {
    setup_home
    local n=20 k i
    for k in $(seq "$n"); do
        "$vantrel" device add "device-$k" --alias "dev$k" --user alice --password-file "$T/pw" \
            >/dev/null || fail "device add $k"
    done
    start_server
    for k in $(seq "$n"); do
        mkdir -p "$T/notes-$k"
        for i in $(seq 100); do printf 'device %d note %d\n' "$k" "$i" >"$T/notes-$k/$i"; done
        syncevo_setup "$T/client-$k" "$URL" alice secret-pw "$T/notes-$k" "device-$k" \
            >/dev/null || fail "client set-up $k"
    done
    local -a pids=()
    for k in $(seq "$n"); do
        syncevo_run "$T/client-$k" slow >/dev/null 2>&1 &
        pids+=($!)
    done
    local failed=0
    for k in $(seq "$n"); do wait "${pids[$((k - 1))]}" || failed=$((failed + 1)); done
    ((failed == 0)) || fail "$failed of $n client sessions failed"
    for k in $(seq "$n"); do
        local folder="$T/pc/dev$k/Notes"
        [[ $(count "$folder") == 100 ]] || fail "device $k: $(count "$folder") notes on the PC, 100 expected"
        [[ $(cat "$folder"/*.txt | tr -d '\r' | sort -u | grep -c "^device $k note ") == 100 ]] ||
            fail "device $k: its notes are not all there, once each"
    done
    [[ $(grep -c "slow sync finished" "$T/serve.log") == "$n" ]] || fail "not $n session lines"
}

# http_status METHOD TYPE BODY_FILE: the HTTP status the server answers a raw request with.
http_status() {
    local hostport=${URL#http://}
    hostport=${hostport%%/*}
    exec 3<>"/dev/tcp/${hostport%:*}/${hostport#*:}" || return 1
    printf '%s /sync HTTP/1.1\r\nHost: %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' \
        "$1" "$hostport" "$2" "$(stat -c %s "$3")" >&3
    cat "$3" >&3 2>/dev/null || true
    head -n 1 <&3 | awk '{ print $2 }'
    exec 3<&-
}

# Requests no client should send: each gets an HTTP error, the server keeps serving, and
# nothing reaches the notes folder.
scenario_hostile_http() {
    setup_home
    start_server
    printf '<SyncML><SyncHdr>' >"$T/truncated.xml"
    head -c $((9 * 1024 * 1024)) /dev/zero | tr '\0' 'x' >"$T/huge.xml"
    printf '\x02\xa4\x01\x6a\x00\x6d\x6c' >"$T/truncated.wbxml"
    : >"$T/empty"
    [[ $(http_status POST application/vnd.syncml+xml "$T/truncated.xml") == 400 ]] || fail "truncated XML"
    [[ $(http_status POST application/vnd.syncml+xml "$T/huge.xml") == 413 ]] || fail "a body over the limit"
    [[ $(http_status POST application/vnd.syncml+wbxml "$T/truncated.wbxml") == 400 ]] || fail "truncated WBXML"
    [[ $(http_status POST text/html "$T/truncated.xml") == 415 ]] || fail "another content type"
    [[ $(http_status GET text/plain "$T/empty") == 405 ]] || fail "a GET"
    [[ $(count "$PC") == 0 ]] || fail "something reached the notes folder"
    mkdir -p "$CLIENT_NOTES"
    printf 'client one\n' >"$CLIENT_NOTES/1"
    setup_client "$T/client"
    run_client "$T/client" slow
    [[ $(count "$PC") == 1 ]] || fail "the session after the hostile requests"
}

# A client killed half way through its package: its session fails after the idle timeout, what
# the module applied stays, and the client's next session brings the rest, nothing twice.
scenario_killed_client() {
    SERVE_ARGS=(--idle-timeout 2)
    first_slow
    for i in $(seq 100 2099); do printf 'client note %d\n' "$i" >"$CLIENT_NOTES/$i"; done
    syncevo_configure "$T/client" maxMsgSize=4000 >/dev/null
    # The client in a session of its own (its leader writes its id), killed whole.
    (setsid bash -c "echo \$\$ >'$T/client.sid'; source '$here/syncevo_client.sh'; syncevo_run '$T/client'" \
        >/dev/null 2>&1 &)
    until [[ -s "$T/client.sid" && $(count "$PC") -ge 200 ]]; do sleep 0.02; done
    pkill -KILL -s "$(cat "$T/client.sid")"
    local applied
    applied=$(count "$PC")
    for _ in $(seq 100); do
        grep -q "sync failed" "$T/serve.log" && break
        sleep 0.1
    done
    grep -q "sync failed" "$T/serve.log" || fail "the abandoned session did not fail: $(tail -3 "$T/serve.log")"
    (($(count "$PC") >= applied)) || fail "notes the module applied were lost"
    run_client "$T/client"
    [[ $(count "$PC") == 2004 && $(count "$CLIENT_NOTES") == 2004 ]] ||
        fail "after the killed client: PC $(count "$PC"), client $(count "$CLIENT_NOTES") (2004 each expected)"
    expect_same_notes
}

# HTTPS with a self-signed certificate that the client is told not to check; then a two-way
# session with an edit on each side.
scenario_https() {
    command -v openssl >/dev/null || { echo "SKIP: openssl is not installed" >&2; exit 77; }
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$T/key.pem" -out "$T/cert.pem" -days 2 \
        -subj /CN=127.0.0.1 >/dev/null 2>&1 || fail "openssl could not make a certificate"
    SERVE_ARGS=(--tls-cert "$T/cert.pem" --tls-key "$T/key.pem")
    CLIENT_PROPS=(SSLVerifyServer=0 SSLVerifyHost=0)
    first_slow
    [[ $URL == https://* ]] || fail "the server did not serve HTTPS: $URL"
    printf 'PC one, edited\n' >"$PC/a.txt"
    printf 'client two, edited' >"$CLIENT_NOTES/2"
    sleep 1.1
    run_client "$T/client" two-way
    expect_pc a.txt 'PC one, edited\n'
    expect_same_notes
}

scenario_two_way() {
    first_slow
    local pcname1
    pcname1=$(grep -l "client one" "$PC"/*.txt)
    # An add, an edit and a delete on each side.
    printf 'PC three\n' >"$PC/c.txt"
    printf 'PC one, edited\n' >"$PC/a.txt"
    rm "$PC/b.txt"
    printf 'client three\n' >"$CLIENT_NOTES/9"
    printf 'client one, edited\n' >"$CLIENT_NOTES/1"
    rm "$CLIENT_NOTES/2"
    sleep 1.1
    run_client "$T/client"
    expect_pc a.txt 'PC one, edited\n'
    expect_pc c.txt 'PC three\n'
    expect_pc "$(basename "$pcname1")" 'client one, edited\r\n'
    [[ $(count "$PC") == 4 ]] || fail "PC has $(count "$PC") notes, 4 expected"
    expect_same_notes
    # Nothing changes, nothing grows: two more sessions leave every byte as it was.
    local before
    before=$(cd "$PC" && md5sum ./*.txt; cd "$CLIENT_NOTES" && md5sum ./*)
    run_client "$T/client"
    run_client "$T/client"
    [[ "$(cd "$PC" && md5sum ./*.txt; cd "$CLIENT_NOTES" && md5sum ./*)" == "$before" ]] ||
        fail "notes changed in sessions without edits"
}

scenario_conflict() {
    first_slow
    local client_a
    client_a=$(grep -l "PC one" "$CLIENT_NOTES"/*)
    printf 'PC one, the PC edit\n' >"$PC/a.txt"
    printf 'PC one, the client edit\n' >"$client_a"
    sleep 1.1
    run_client "$T/client"
    # The PC's version wins on both sides.
    expect_pc a.txt 'PC one, the PC edit\n'
    [[ "$(text_of "$client_a")" == "PC one, the PC edit" ]] ||
        fail "the client kept $(text_of "$client_a")"
    expect_same_notes
    grep -q "1 conflicts" "$T/serve.log" || fail "the conflict was not reported"
}

scenario_many() {
    setup_home
    mkdir -p "$CLIENT_NOTES"
    for i in $(seq 1000); do
        printf 'PC note %d\nwith a second line of some length to fill the messages\n' "$i" >"$PC/pc$i.txt"
        printf 'client note %d\nwith a second line of some length\n' "$i" >"$CLIENT_NOTES/$i"
    done
    start_server
    setup_client "$T/client" secret-pw 20000
    run_client "$T/client" slow
    [[ $(count "$PC") == 2000 && $(count "$CLIENT_NOTES") == 2000 ]] ||
        fail "expected 2000 notes on each side, PC $(count "$PC"), client $(count "$CLIENT_NOTES")"
    expect_same_notes
    expect_pc pc17.txt 'PC note 17\nwith a second line of some length to fill the messages\n'
    run_client "$T/client"
    [[ $(count "$PC") == 2000 && $(count "$CLIENT_NOTES") == 2000 ]] || fail "a second session changed the counts"
    grep -q "0 added, 0 replaced, 0 deleted; PC -> client: 0 added" "$T/serve.log" ||
        fail "the second session exchanged notes"
}

scenario_wrong_password() {
    setup_home
    printf 'PC one\n' >"$PC/a.txt"
    mkdir -p "$CLIENT_NOTES"
    printf 'client one\n' >"$CLIENT_NOTES/1"
    start_server
    setup_client "$T/client" not-the-password
    if syncevo_run "$T/client" slow; then fail "a wrong password was let in"; fi
    grep -q "wrong credentials" "$T/serve.log" || fail "the server did not report the refusal"
    [[ $(count "$PC") == 1 && $(count "$CLIENT_NOTES") == 1 ]] || fail "notes moved"
    # The right password works afterwards.
    syncevo_configure "$T/client" password=secret-pw >/dev/null
    run_client "$T/client" slow
    [[ $(count "$PC") == 2 ]] || fail "the session after the refusal did not sync"
}

scenario_lost_state() {
    first_slow
    # The client loses its state but keeps its notes: a new client over the same folder.
    setup_client "$T/client2"
    run_client "$T/client2" slow
    local pc client
    pc=$(count "$PC")
    client=$(count "$CLIENT_NOTES")
    echo "after the client lost its state: PC $pc notes, client $client notes (4 before)"
    [[ $pc -ge 4 && $client -ge 4 ]] || fail "a note was lost"
    expect_same_notes
    [[ $pc == 4 ]] || echo "duplicates on the PC: $((pc - 4))"
}

scenario_anchor_mismatch() {
    first_slow
    # The server forgets the anchor of the last session (as after a session it did not see
    # finish): the client's two-way sync must become a slow one.
    sed -i 's/^anchor=.*/anchor=/' "$VANTREL_HOME/devices/$DEVICE/state"
    # As shipped, the client refuses a slow sync it did not ask for, and says so ...
    if syncevo_run "$T/client"; then fail "the client accepted a two-way sync after the mismatch"; fi
    [[ $(count "$PC") == 4 && $(count "$CLIENT_NOTES") == 4 ]] || fail "the refused session moved notes"
    # ... and `--sync slow` then brings both sides together without a loss or a duplicate.
    run_client "$T/client" slow
    [[ $(count "$PC") == 4 && $(count "$CLIENT_NOTES") == 4 ]] ||
        fail "slow sync after the mismatch: PC $(count "$PC"), client $(count "$CLIENT_NOTES")"
    expect_same_notes
    # A client that allows the server's slow syncs takes the server's answer at once.
    sed -i 's/^anchor=.*/anchor=/' "$VANTREL_HOME/devices/$DEVICE/state"
    syncevo_configure "$T/client" preventSlowSync=0 >/dev/null
    run_client "$T/client"
    [[ $(count "$PC") == 4 && $(count "$CLIENT_NOTES") == 4 ]] || fail "accepted slow sync moved notes"
}

scenario_beside_virtual_phone() {
    setup_home
    printf 'PC one\n' >"$PC/a.txt"
    mkdir -p "$CLIENT_NOTES"
    printf 'client one\n' >"$CLIENT_NOTES/1"
    start_server
    setup_client "$T/client"
    # A virtual phone of the same home, synchronised by another process while the server runs.
    "$vantrel" sync --quiet --imei 350000000000009 --alias vphone --phone "$T/vphone" \
        >"$T/vsync.log" 2>&1 || { cat "$T/vsync.log" >&2; fail "vantrel sync"; }
    run_client "$T/client" slow
    printf 'virtual phone note\n' >"$T/vphone/9.txt" 2>/dev/null || printf 'virtual phone note\n' >"$T/vphone/new.txt"
    "$vantrel" sync --quiet --imei 350000000000009 --alias vphone >"$T/vsync.log" 2>&1 ||
        { cat "$T/vsync.log" >&2; fail "vantrel sync (second)"; }
    run_client "$T/client"
    [[ $(count "$PC") == 2 && $(count "$CLIENT_NOTES") == 2 ]] || fail "the device's notes"
    ls "$T/pc/vphone/Notes"/*.txt >/dev/null || fail "the virtual phone's note did not arrive"
    "$vantrel" status >"$T/status.log" 2>&1 || fail "status"
    grep -q "serve finished" "$T/status.log" || fail "status does not show the device's session"
}

scenario_interrupted() {
    first_slow
    for i in $(seq 100 2099); do printf 'client note %d\n' "$i" >"$CLIENT_NOTES/$i"; done
    syncevo_configure "$T/client" maxMsgSize=4000 >/dev/null
    # The server is stopped (SIGTERM) half way through the client's package ...
    syncevo_run "$T/client" >/dev/null 2>&1 &
    local client=$!
    until [[ $(count "$PC") -ge 200 ]]; do sleep 0.05; done
    stop_server
    wait "$client" && fail "the client finished a session the server stopped"
    grep -q "sync cancelled" "$T/serve.log" || fail "the running session was not cancelled"
    grep -q "^stopped" "$T/serve.log" || fail "the server did not say it stopped"
    sleep 0.5  # the port is free again once the old process has gone
    # ... and the next two-way session brings the rest, nothing twice (the client asks to
    # resume; its anchors still match).
    mv "$T/serve.log" "$T/serve-1.log"
    local port=${URL##*:}
    start_server "${port%%/*}"
    run_client "$T/client"
    [[ $(count "$PC") == 2004 && $(count "$CLIENT_NOTES") == 2004 ]] ||
        fail "after the interruption: PC $(count "$PC"), client $(count "$CLIENT_NOTES") (2004 each expected)"
    expect_same_notes
}

# Stops the server as Ctrl-C would and checks that it ended cleanly: exit status 0 and no
# sanitizer report (the sanitizer builds run some scenarios too).
stop_server() {
    [[ -n "$server_pid" ]] || return 0
    kill -TERM "$server_pid"
    local status=0
    wait "$server_pid" || status=$?
    server_pid=""
    if grep -q -E "WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|runtime error:" "$T/serve.log"; then
        fail "the server reported a fault"
    fi
    [[ $status == 0 ]] || fail "the server exited with status $status"
}

case "$scenario" in
    first-slow) scenario_first_slow ;;
    https) scenario_https ;;
    large) scenario_large ;;
    many-devices) scenario_many_devices ;;
    hostile-http) scenario_hostile_http ;;
    killed-client) scenario_killed_client ;;
    two-way) scenario_two_way ;;
    conflict) scenario_conflict ;;
    many) scenario_many ;;
    wrong-password) scenario_wrong_password ;;
    lost-state) scenario_lost_state ;;
    anchor-mismatch) scenario_anchor_mismatch ;;
    beside-virtual-phone) scenario_beside_virtual_phone ;;
    interrupted) scenario_interrupted ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
stop_server
echo "PASS ($scenario)"
