#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing and benchmarking need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libxml2-dev libsqlite3-dev libmicrohttpd-dev libgnutls28-dev libwbxml2-dev
    syncevolution openssl
    clang libclang-rt-14-dev lld clang-format
)
# The peer server that bench/syncml_peer_bench.sh measures beside ours.
if [[ "${VANTREL_WITH_PEER:-0}" == 1 ]]; then
    packages+=(syncevolution-http python3-twisted python3-dbus python3-gi dbus iproute2)
fi
if [[ "${VANTREL_WITH_WINDOWS:-0}" == 1 ]]; then
    packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
