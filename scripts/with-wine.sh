#!/usr/bin/env bash
# Runs a command inside a fresh, headless Wine prefix that exists only for this run:
#   scripts/with-wine.sh ctest --test-dir build-win
# The prefix is made in a temporary folder, its wineserver is started first with its output
# sent away (Wine's background processes would otherwise hold the caller's output pipe open),
# and everything is removed at the end. Set VANTREL_WINEPREFIX to reuse a prefix instead.
set -euo pipefail

if [[ $# -eq 0 || "$1" == "--help" ]]; then
    echo "usage: scripts/with-wine.sh COMMAND [ARG...]"
    echo "Runs COMMAND with WINEPREFIX set to a fresh 64-bit Wine prefix, removed afterwards."
    exit 0
fi

own_prefix=0
if [[ -n "${VANTREL_WINEPREFIX:-}" ]]; then
    export WINEPREFIX="$VANTREL_WINEPREFIX"
    mkdir -p "$WINEPREFIX"
else
    export WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")"
    own_prefix=1
fi
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

finish() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if [[ $own_prefix == 1 ]]; then rm -rf "$WINEPREFIX"; fi
}
trap finish EXIT

wineserver -p >/dev/null 2>&1 </dev/null
# Boot the prefix (made when new) so that Wine's own services start now, with their output sent
# away, and not later as children of a test that a pipe reader waits on.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "with-wine: preparing a Wine prefix in $WINEPREFIX" >&2
fi
wine wineboot -i >/dev/null 2>&1 </dev/null
"$@"
