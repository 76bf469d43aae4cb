# shellcheck shell=bash
#
# Drive Debian's syncevolution command line client (2.0.0) against our SyncML server.
#
#   source tests/interop/syncevo_client.sh
#
#   syncevo_setup  DIR URL USER PASS NOTES_DIR DEVICE_ID [MAXMSGSIZE]
#       Creates an isolated client under DIR (DIR/home, DIR/config, DIR/data, DIR/cache; nothing
#       outside DIR is read or written) with one peer config "vantrel" and one datastore "memo":
#       file backend over NOTES_DIR (created if missing; one note per file, text/plain), server
#       database "Notes". Plain XML messages (WBXML when VANTREL_SYNCEVO_WBXML=1), passwords in
#       the config file (no keyring), no database backups, short engine log. DIR must not hold a
#       client already;
#       set up again in a fresh DIR rather than reusing one.
#       DEVICE_ID may be "" to let the client invent one ("syncevolution-<uuid>").
#       MAXMSGSIZE is what the client announces as its MaxMsgSize (client default 150000).
#       Returns non-zero (and prints the client's output) if configuring failed.
#
#   syncevo_configure DIR PROPERTY=VALUE...
#       Changes properties of the existing client, e.g. preventSlowSync=0, enableWBXML=1,
#       maxObjSize=..., loglevel=3. Same syntax as `syncevolution --configure`.
#
#   syncevo_run DIR [MODE]
#       Runs one session of the "memo" datastore and returns the client's exit status
#       (0 = session completed, 1 = it failed; 124 = killed by our timeout, >128 = crashed).
#       MODE (default two-way): two-way, slow, refresh-from-client, refresh-from-server,
#       one-way-from-client, one-way-from-server (also the -local/-remote spellings).
#       Everything the client prints goes to DIR/last-run.log (appended to DIR/runs.log too).
#       The engine's own log of the last sessions is under DIR/logs/*/syncevolution-log.html.
#
#   syncevo_device_id DIR
#       Prints the device id the client sends (SyncHdr Source LocURI and DevInf DevID).
#
#   syncevo_last_log DIR
#       Prints the path of the engine's log of the newest session (empty if none).
#
#   syncevo_last_status DIR [KEY]
#       Prints KEY (default "status") from the newest session's report, DIR/logs/*/status.ini.
#       Useful keys: status (200 = fine, else an error code such as 20006 or 22000), error,
#       source-memo-mode (the mode the datastore really ran: slow, two-way, ...; "disabled" when
#       the server never took up its Alert), source-memo-status, source-memo-resume,
#       source-memo-stat-local-added-total and the other -stat- counters.
#       Check it, not only the exit status: a session in which the server ignored the datastore
#       still ends with exit status 0.
#
# Environment:
#   VANTREL_CURLFIX          path of a built libcurlfix.so. Without it, syncevo_run builds
#                            curl_setopt_fix.c (next to this file) into DIR/libcurlfix.so with gcc.
#                            The client segfaults on its first POST without it.
#   VANTREL_SYNCEVO          client binary (default: syncevolution from PATH).
#   VANTREL_SYNCEVO_TIMEOUT  seconds before syncevo_run kills the client (default 300).
#   VANTREL_SYNCEVO_REPLY_TIMEOUT
#                            seconds the client waits for each reply (default 60; read by
#                            syncevo_setup, change later with syncevo_configure RetryInterval=..).
#
# Things about this client worth knowing when writing tests:
#   - After an aborted session it asks to resume (Alert 225) in the next run. Use a fresh DIR
#     when a test needs a clean first session.
#   - preventSlowSync is on (as shipped): when the server demands a slow sync while the client
#     has local data and did not ask for one itself, the client gives up on the datastore
#     (exit 1; status.ini: status 22000, error "local, status 20048").
#     `syncevo_configure DIR preventSlowSync=0` turns that off.
#   - Alerts it sends: a first session (no anchors yet) is 201 for two-way, slow and the
#     from-server modes, 203 for the from-client modes. Later: two-way 200, slow 201,
#     refresh-from-client 203, one-way-from-client 202, one-way-from-server 200 (sic).
#   - refresh-from-server is, by default, "delete every local note, then slow sync" (Alert 201);
#     the notes are gone even if the session then fails.
#     `syncevo_configure DIR enableRefreshSync=1` makes it send Alert 205 instead.
#   - Notes are files in NOTES_DIR named by number: a new one gets 1 + the largest number any
#     file name starts with (0 in an empty folder); other names are kept as they are.
#     Sending, it makes every LF, CRLF or lone CR a CRLF and appends one CRLF; bytes that are
#     not UTF-8 go out unchanged. Receiving, it turns line ends into CRLF and appends one CRLF
#     to what it writes (a note "x" arrives, the file holds "x\r\n").
#   - A refused connection fails the session at once ("transport problem: transport failed,
#     retry period exceeded", exit 1). A server that accepts and never answers fails it after
#     RetryInterval (seen: 30 s with RetryInterval=30 RetryDuration=60, no second POST). Here
#     both are VANTREL_SYNCEVO_REPLY_TIMEOUT (default 60 s; shipped 2 min / 5 min).
#   - Credentials are always md5 in the SyncHdr: b64(md5(b64(md5(USER ":" PASS)) ":" NONCE)),
#     where NONCE is empty in the first session of a fresh DIR and otherwise the bytes of the
#     server's last NextNonce after b64 decoding (Format b64).
#   - Do not set logdir=none: the client then ends every session with exit status 1 and a
#     bogus "object not found ... none: No such file or directory" error.

# The one peer config name every function here uses.
SYNCEVO_PEER=vantrel

# Directory of this file, to find curl_setopt_fix.c beside it.
SYNCEVO_HELPER_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Fills the array _SYNCEVO_ENV with DIR's private home and config folders and nothing else from
# our environment (no D-Bus session, no DISPLAY: nothing can reach a keyring or a desktop).
# A second argument adds it as LD_PRELOAD.
_syncevo_env() {
    _SYNCEVO_ENV=(
        "PATH=${PATH:-/usr/bin:/bin}"
        LANG=C.UTF-8
        TZ=UTC
        "HOME=$1/home"
        "XDG_CONFIG_HOME=$1/config"
        "XDG_DATA_HOME=$1/data"
        "XDG_CACHE_HOME=$1/cache"
    )
    if [[ -n "${2:-}" ]]; then _SYNCEVO_ENV+=("LD_PRELOAD=$2"); fi
}

# Runs the client for DIR (configuring and printing only: no network, so no preload needed).
_syncevo_exec() {
    local dir=$1
    shift
    local -a _SYNCEVO_ENV
    _syncevo_env "$dir"
    env -i "${_SYNCEVO_ENV[@]}" "${VANTREL_SYNCEVO:-syncevolution}" "$@"
}

_syncevo_fail() {
    echo "syncevo_client: $*" >&2
    return 1
}

_syncevo_need_config() {
    [[ -f "$1/config/syncevolution/default/peers/$SYNCEVO_PEER/config.ini" ]] ||
        _syncevo_fail "no client set up in '$1' (call syncevo_setup first)"
}

syncevo_setup() {
    if (($# < 6)); then
        _syncevo_fail "usage: syncevo_setup DIR URL USER PASS NOTES_DIR DEVICE_ID [MAXMSGSIZE]"
        return 1
    fi
    local dir=$1 url=$2 user=$3 pass=$4 notes=$5 device_id=$6 max_msg=${7:-}
    [[ -n "$dir" && -n "$url" && -n "$notes" ]] || {
        _syncevo_fail "syncevo_setup: DIR, URL and NOTES_DIR must not be empty"
        return 1
    }
    mkdir -p "$dir" "$notes" || return 1
    dir=$(cd "$dir" && pwd) && notes=$(cd "$notes" && pwd) || return 1
    if [[ -e "$dir/config/syncevolution" ]]; then
        _syncevo_fail "'$dir' already holds a client; use a fresh directory"
        return 1
    fi
    mkdir -p "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/logs" || return 1

    # Properties of the peer (sync properties) and of the datastore in one call; listing
    # "memo" after the config name makes it the only datastore created.
    local -a props=(
        "syncURL=$url"
        "username=$user"
        "password=$pass"
        keyring=no
        "enableWBXML=${VANTREL_SYNCEVO_WBXML:-0}"
        "logdir=$dir/logs"
        maxlogdirs=5
        loglevel=1
        printChanges=0
        dumpData=0
        notifyLevel=0
        "RetryInterval=${VANTREL_SYNCEVO_REPLY_TIMEOUT:-60}"
        "RetryDuration=${VANTREL_SYNCEVO_REPLY_TIMEOUT:-60}"
        backend=file
        "database=file://$notes"
        databaseFormat=text/plain
        uri=Notes
        sync=two-way
    )
    [[ -n "$device_id" ]] && props+=("deviceId=$device_id")
    [[ -n "$max_msg" ]] && props+=("maxMsgSize=$max_msg")

    local out
    if ! out=$(_syncevo_exec "$dir" --configure --template SyncEvolution "${props[@]}" \
        "$SYNCEVO_PEER" memo 2>&1); then
        printf '%s\n' "$out" >&2
        _syncevo_fail "configuring the client in '$dir' failed"
        return 1
    fi
    printf '%s\n' "$out" >"$dir/setup.log"
}

syncevo_configure() {
    if (($# < 2)); then
        _syncevo_fail "usage: syncevo_configure DIR PROPERTY=VALUE..."
        return 1
    fi
    local dir=$1
    shift
    _syncevo_need_config "$dir" || return 1
    local out
    if ! out=$(_syncevo_exec "$dir" --configure "$@" "$SYNCEVO_PEER" 2>&1); then
        printf '%s\n' "$out" >&2
        _syncevo_fail "changing the client's configuration failed"
        return 1
    fi
}

# Prints the path of the preload library, building it into DIR when VANTREL_CURLFIX is unset.
_syncevo_curlfix() {
    local dir=$1
    if [[ -n "${VANTREL_CURLFIX:-}" ]]; then
        [[ -r "$VANTREL_CURLFIX" ]] || {
            _syncevo_fail "VANTREL_CURLFIX='$VANTREL_CURLFIX' is not readable"
            return 1
        }
        printf '%s\n' "$VANTREL_CURLFIX"
        return 0
    fi
    local src="$SYNCEVO_HELPER_DIR/curl_setopt_fix.c" lib="$dir/libcurlfix.so"
    if [[ ! -f "$lib" || "$src" -nt "$lib" ]]; then
        gcc -shared -fPIC -O2 -Wall -Wextra -o "$lib.tmp" "$src" -ldl >&2 || {
            _syncevo_fail "building $lib failed"
            return 1
        }
        mv -f "$lib.tmp" "$lib" || return 1
    fi
    printf '%s\n' "$lib"
}

syncevo_run() {
    if (($# < 1)); then
        _syncevo_fail "usage: syncevo_run DIR [MODE]"
        return 1
    fi
    local dir=$1 mode=${2:-two-way}
    _syncevo_need_config "$dir" || return 1
    dir=$(cd "$dir" && pwd) || return 1
    local fix
    fix=$(_syncevo_curlfix "$dir") || return 1

    local -a _SYNCEVO_ENV
    _syncevo_env "$dir" "$fix"
    local status=0
    timeout --kill-after=10 "${VANTREL_SYNCEVO_TIMEOUT:-300}" \
        env -i "${_SYNCEVO_ENV[@]}" "${VANTREL_SYNCEVO:-syncevolution}" \
        --sync "$mode" "$SYNCEVO_PEER" memo >"$dir/last-run.log" 2>&1 </dev/null || status=$?
    {
        printf '=== %s sync %s: exit %d\n' "$(date -u +%FT%TZ)" "$mode" "$status"
        cat "$dir/last-run.log"
    } >>"$dir/runs.log"
    return "$status"
}

syncevo_device_id() {
    if (($# < 1)); then
        _syncevo_fail "usage: syncevo_device_id DIR"
        return 1
    fi
    local dir=$1 line
    _syncevo_need_config "$dir" || return 1
    line=$(_syncevo_exec "$dir" --print-config --quiet "$SYNCEVO_PEER" main 2>/dev/null |
        grep -E '^[[:space:]]*deviceId[[:space:]]*=') || {
        _syncevo_fail "no deviceId in the client's configuration"
        return 1
    }
    line=${line#*=}
    line=${line#"${line%%[![:space:]]*}"}
    line=${line%"${line##*[![:space:]]}"}
    printf '%s\n' "$line"
}

# Newest session folder under DIR/logs (the client names them SyncEvolution-vantrel-DATE[-a..z],
# so glob order is age order).
_syncevo_last_session() {
    local newest="" f
    for f in "$1"/logs/SyncEvolution-*; do
        if [[ -d "$f" ]]; then newest=$f; fi
    done
    printf '%s\n' "$newest"
}

syncevo_last_log() {
    if (($# < 1)); then
        _syncevo_fail "usage: syncevo_last_log DIR"
        return 1
    fi
    local session
    session=$(_syncevo_last_session "$1")
    if [[ -n "$session" ]]; then printf '%s\n' "$session/syncevolution-log.html"; fi
}

syncevo_last_status() {
    if (($# < 1)); then
        _syncevo_fail "usage: syncevo_last_status DIR [KEY]"
        return 1
    fi
    local key=${2:-status} session line
    session=$(_syncevo_last_session "$1")
    [[ -n "$session" && -f "$session/status.ini" ]] || {
        _syncevo_fail "no session report under '$1/logs'"
        return 1
    }
    line=$(grep -E "^${key}[[:space:]]*=" "$session/status.ini" | head -n 1) || true
    line=${line#*=}
    line=${line#"${line%%[![:space:]]*}"}
    printf '%s\n' "$line"
}
