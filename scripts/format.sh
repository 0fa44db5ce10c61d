#!/usr/bin/env bash
# Formats every C and C++ file of the tree with clang-format 14 and the
# style in .clang-format. With --check it changes nothing and fails when a
# file is not formatted (scripts/test.sh runs it so).
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || { echo "format.sh: $format is missing (scripts/deps.sh installs it)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  "$format" --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files formatted"
else
  "$format" -i "${files[@]}"
fi
