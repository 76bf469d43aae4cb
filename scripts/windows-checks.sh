#!/usr/bin/env bash
# The Windows build under Wine, run inside scripts/with-wine.sh (a fresh prefix):
#   scripts/with-wine.sh scripts/windows-checks.sh [BUILD_DIR]
# Runs the cross-built unit and end-to-end tests, then checks the real DLL as a desktop host
# meets it: regsvr32 registration (keys, type library), syncs through the object COM creates
# from the ProgID "Vantrel.NotesSml", "folder.xml" written through MSXML, a note held open by
# another process (the session is refused with the sharing violation logged, and the note goes
# once released), and regsvr32 /u with and without a sibling plug-in.
set -euo pipefail

if [[ "${1:-}" == "--help" ]]; then
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
build=$(cd "${1:-build-win}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wincheck.XXXXXX")
trap 'rm -rf "$work"' EXIT

step() { echo "== windows: $*"; }
fail() {
    echo "windows checks: FAILED: $*" >&2
    exit 1
}
win() { winepath -w "$1" 2>/dev/null; }
has_key() { wine reg query "$1" >/dev/null 2>&1; }

clsid='{1C7DB2E8-83AA-4288-81BE-5A46D1F10DDE}'
libid='{F7728B2F-606E-4C69-8EE0-227E160C23B2}'
plugins='HKLM\SOFTWARE\Orvane\MorVex\SmlPlugins'
dll=$(win "$build/frontend/vantrel.dll")
host=(wine "$build/host/vantrel.exe" --plain)

step "unit and end-to-end tests (one at a time: registration is machine-wide)"
if [[ "${VANTREL_SKIP_UNIT_TESTS:-0}" != 1 ]]; then
    (cd "$build" && ctest --output-on-failure -j1 --timeout 300)
fi

# The tests leave no registration behind; start the checks from a clean state anyway.
wine regsvr32 /u /s "$dll" >/dev/null 2>&1 || true

step "regsvr32 registers the module"
wine regsvr32 /s "$dll" || fail "regsvr32 $dll answered $?"
for key in 'HKCR\Vantrel.NotesSml.1\CLSID' 'HKCR\Vantrel.NotesSml\CurVer' \
    "HKCR\\CLSID\\$clsid\\InprocServer32" "HKCR\\CLSID\\$clsid\\TypeLib" \
    "HKCR\\TypeLib\\$libid\\1.0" "$plugins\\Notes"; do
    has_key "$key" || fail "registration did not write $key"
done
wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel | grep -q Apartment ||
    fail "ThreadingModel is not Apartment"
wine reg query "$plugins\\Notes" /v MimeType | grep -q 'text/plain' || fail "MimeType is not text/plain"

step "the host syncs with the virtual phone through the object COM creates by ProgID"
export VANTREL_HOME
VANTREL_HOME=$(win "$work/home")
mkdir -p "$work/home" "$work/root" "$work/phone"
"${host[@]}" config Root "$(win "$work/root")" >/dev/null
"${host[@]}" config "Logging Levels" LOG_HIGH >/dev/null
printf 'PC note\r\n' >"$work/pc-note.txt"
printf 'phone note\n' >"$work/phone/1"
phone=(--imei 350000000000077 --alias winphone --phone "$(win "$work/phone")"
    --progid Vantrel.NotesSml)
"${host[@]}" sync "${phone[@]}" >"$work/sync1.log" 2>&1 || {
    cat "$work/sync1.log"
    fail "the first sync failed"
}
notes=$(find "$work/root/winphone" -mindepth 1 -maxdepth 1 -type d | head -1)
[[ -n "$notes" ]] || fail "the module made no notes folder under $work/root/winphone"
grep -rqs 'phone note' "$notes" || fail "the phone's note did not reach the PC folder $notes"
cp "$work/pc-note.txt" "$notes/pc-note.txt"
"${host[@]}" sync "${phone[@]}" >"$work/sync2.log" 2>&1 || {
    cat "$work/sync2.log"
    fail "the second sync failed"
}
grep -rqs 'PC note' "$work/phone" || fail "the PC's note did not reach the phone"

step "folder.xml is stamped through MSXML"
[[ -s "$notes/folder.xml" ]] || fail "no folder.xml in $notes"
grep -qi '<' "$notes/folder.xml" || fail "folder.xml is not XML"

step "a note held open by another process: the session is refused, nothing lost, sent later"
printf 'held note\r\n' >"$notes/held.txt"
hold_log="$work/hold.log"
wine "$build/tests/hold_file.exe" "$(win "$notes/held.txt")" 20 >"$hold_log" 2>&1 &
holder=$!
for _ in $(seq 1 100); do grep -q holding "$hold_log" 2>/dev/null && break; sleep 0.1; done
grep -q holding "$hold_log" || fail "the holding process did not start"
# The scan reads every new note with no sharing; a note another program holds fails that read,
# and the module refuses to start the session rather than leave the note out unnoticed.
if "${host[@]}" sync "${phone[@]}" >"$work/sync3.log" 2>&1; then
    fail "the sync with a held note reported success"
fi
grep -q 'refused to start the session' "$work/sync3.log" || {
    cat "$work/sync3.log"
    fail "the refused session was not reported"
}
find "$WINEPREFIX/drive_c/users" -name 'Vantrel*.lgt' -exec cat {} + 2>/dev/null |
    grep -q 'sharingViolation' || fail "the module's log does not name the sharing violation"
[[ -f "$notes/held.txt" ]] || fail "the held note was removed"
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
"${host[@]}" sync "${phone[@]}" >"$work/sync4.log" 2>&1 || fail "the sync after the release failed"
grep -rqs 'held note' "$work/phone" || fail "the released note did not reach the phone"

step "regsvr32 /u keeps SmlPlugins while a sibling plug-in is registered"
wine reg add "$plugins\\Contacts" /ve /d '{00000000-0000-0000-0000-000000000001}' /f >/dev/null
wine regsvr32 /u /s "$dll" || fail "regsvr32 /u answered $?"
has_key "$plugins\\Notes" && fail "Notes is still registered"
has_key "HKCR\\CLSID\\$clsid" && fail "the class is still registered"
has_key 'HKCR\Vantrel.NotesSml' && fail "the ProgID is still registered"
has_key "HKCR\\TypeLib\\$libid" && fail "the type library is still registered"
has_key "$plugins\\Contacts" || fail "the sibling plug-in was removed"

step "regsvr32 /u removes SmlPlugins when Notes was the only plug-in"
wine reg delete "$plugins\\Contacts" /f >/dev/null
wine regsvr32 /s "$dll" || fail "regsvr32 (again) answered $?"
wine regsvr32 /u /s "$dll" || fail "regsvr32 /u (again) answered $?"
has_key "$plugins" && fail "SmlPlugins is still there"
has_key 'HKLM\SOFTWARE\Orvane\MorVex' || fail "the MorVex key went too (it is NoRemove)"

echo "== windows: all checks passed"
