#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Formats the C++ sources with the committed .clang-format, or with --check only reports (exit 1) what
# is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
[ "${#files[@]}" -gt 0 ] || exit 0
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror "${files[@]}"
    echo "format check: ${#files[@]} files formatted"
else
    clang-format -i "${files[@]}"
fi
