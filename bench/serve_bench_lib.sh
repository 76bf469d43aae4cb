# Shared by the benchmarks of `vantrel serve` (sourced): a fresh home with one or more devices,
# a server on a free loopback port, and the clocks they read. Expects $vantrel.

tick=$(getconf CLK_TCK)
# A process's CPU time (user + system), its resident memory, and the wall clock.
cpu_ms() { awk -v t="$tick" '{ print int(($14 + $15) * 1000 / t) }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

# bench_home DIR [ID ALIAS]...: VANTREL_HOME=DIR/home with Root DIR/pc, English, and the devices
# given (bench-device as "dev" when none), each with user u and password pw (DIR/pw).
bench_home() {
    local dir=$1
    shift
    export VANTREL_HOME=$dir/home
    mkdir -p "$dir/pc"
    "$vantrel" register >/dev/null
    "$vantrel" config Root "$dir/pc" >/dev/null
    "$vantrel" config language en >/dev/null
    printf 'pw\n' >"$dir/pw"
    (($# > 0)) || set -- bench-device dev
    while (($# >= 2)); do
        "$vantrel" device add "$1" --alias "$2" --user u --password-file "$dir/pw" >/dev/null
        shift 2
    done
}

# start_serve LOG: `vantrel serve` on a free loopback port, its output in LOG; sets serve_pid and
# URL once it listens.
start_serve() {
    "$vantrel" serve --listen 127.0.0.1:0 >>"$1" 2>&1 &
    serve_pid=$!
    local _
    for _ in $(seq 400); do
        grep -q "serving SyncML" "$1" && break
        sleep 0.05
    done
    URL=$(grep -o 'http://[^ ]*/sync' "$1" | head -n 1)
    [[ -n "$URL" ]] || { echo "vantrel serve did not start:" >&2; cat "$1" >&2; exit 1; }
}
