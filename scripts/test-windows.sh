#!/usr/bin/env bash
# Installs the Windows toolchain and Wine, cross-builds the Windows DLL, the host program, the
# virtual phone and the tests with mingw-w64, and runs them under Wine in a fresh prefix that
# is removed afterwards. Exit status 0 only when all pass.
set -euo pipefail
cd "$(dirname "$0")/.."
VANTREL_WITH_WINDOWS=1 scripts/install-deps.sh

echo "== build-win: configure and build (mingw-w64)"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j "$(nproc)"
scripts/with-wine.sh scripts/windows-checks.sh build-win
