#!/usr/bin/env bash
# Line, function and branch coverage of the library's sources (src/) by the
# test suites, measured with clang's source-based coverage:
#
#   bash scripts/coverage.sh
#
# builds the `coverage` preset, runs every test program of it, and writes
# build-coverage/coverage/index.html (each file, line by line) and
# build-coverage/coverage/summary.txt (each file's figures); the last line it
# prints is the total for src/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --no-wine
dir=build-coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"

profiles=$dir/profiles
rm -rf "$profiles" "$dir/coverage"
mkdir -p "$profiles"
# %p: one file per process (tests start kvsim and kvdemo as programs too);
# %m: per instrumented binary.
# A failing test still gives its coverage; it is named, and the script
# fails at the end.
failed=0
LLVM_PROFILE_FILE=$PWD/$profiles/%p-%m.profraw ctest --preset coverage -j "$(nproc)" >"$dir/ctest.txt" \
  || { failed=1; sed -n '/tests FAILED/,$p' "$dir/ctest.txt" >&2; }
llvm-profdata-14 merge -sparse "$profiles"/*.profraw -o "$dir/coverage.profdata"

# Every program and library that holds library code.
objects=()
while IFS= read -r file; do
  objects+=(-object "$file")
done < <(find "$dir" -type f \( -name 'test_*' -o -name 'libkvopros2.so*' -o -name kvsim -o -name kvdemo \
           -o -name kvsoak \) -perm -u+x ! -name '*.profraw' | sort)
only_src=(-ignore-filename-regex='/(tests|tools|bench|fuzz|bindings|include)/|^/usr/|/build-coverage/')
llvm-cov-14 show "${objects[@]}" -instr-profile="$dir/coverage.profdata" "${only_src[@]}" \
  -format=html -output-dir="$dir/coverage" -show-line-counts-or-regions >/dev/null
llvm-cov-14 report "${objects[@]}" -instr-profile="$dir/coverage.profdata" "${only_src[@]}" \
  >"$dir/coverage/summary.txt"
# TOTAL  regions missed cover  functions missed executed  lines missed cover  branches missed cover
awk -v report="$dir/coverage/index.html" '$1 == "TOTAL" { printf "coverage of src/: lines %s, functions %s, branches %s (%s)\n", $10, $7, $13, report }' \
  "$dir/coverage/summary.txt"
exit $failed
