#!/usr/bin/env bash
# Formats every C++ file of the project with its .clang-format, or (--check) lists the files
# the formatter would change and exits 1 when there are any.
#
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; fail on a file that isn't formatted
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [[ "${1:-}" == "--check" ]]; then check=1; fi

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.h.in')
if ((check)); then
    # One run for all files; its complaints name the files ("file:line:col: error: ...").
    if ! report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
        echo "format.sh: these files are not formatted (run scripts/format.sh):" >&2
        grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
        exit 1
    fi
    echo "format.sh: ${#files[@]} files formatted"
else
    clang-format -i "${files[@]}"
fi
