#!/usr/bin/env bash
# Builds and runs every test: gcc release, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang with ThreadSanitizer, and the 32-bit
# Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export WINEDEBUG=-all
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

for preset in default asan tsan win32; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
