#!/usr/bin/env bash
# The quickest way to see Vantrel work on a fresh machine: installs what is needed, builds the
# module and the host program, and runs `vantrel demo`, which registers the module in a fresh
# sandbox, synchronises notes between the PC and a virtual phone, edits both sides and
# synchronises again, showing both folders each time. Extra arguments go to `vantrel demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== building the module and the host (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target vantrel vantrel_host

echo "== build/host/vantrel demo"
exec build/host/vantrel demo "$@"
