#!/usr/bin/env bash
# Runs clang-tidy 14 with .clang-tidy over the library's sources (src/), as the
# clang preset compiles them; fails on any finding. The test script runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v run-clang-tidy-14 >/dev/null ||
  { echo "tidy.sh: clang-tidy 14 is missing (scripts/deps.sh installs it)" >&2; exit 1; }
cmake --preset clang -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
out=build-clang/tidy.txt
if ! run-clang-tidy-14 -quiet -p build-clang -j "$(nproc)" "$PWD/src/" >"$out" 2>&1; then
  sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E "(warning|error):" | sort -u >&2 || tail -n 30 "$out" >&2
  echo "tidy: findings in src/ (all of them: $out)" >&2
  exit 1
fi
echo "tidy: $(grep -c '"file": "[^"]*/src/' build-clang/compile_commands.json) files of src/, no findings"
