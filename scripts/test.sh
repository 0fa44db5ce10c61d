#!/usr/bin/env bash
# Builds and runs every test: gcc release, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang with ThreadSanitizer, and the Windows
# builds under wine. The 32-bit Windows build (the shipped DLL) runs its tests
# where the machine can execute 32-bit programs; the 64-bit Windows build runs
# them under wine64 everywhere, so the Windows code is always exercised.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export WINEDEBUG=-all
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

build() {
  echo "=== build $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}
run() {
  echo "=== test $1"
  ctest --preset "$1" -j "$jobs"
}

for preset in default asan tsan win64; do
  build "$preset"
  run "$preset"
done

build win32
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  run win32
else
  echo "=== test win32: skipped, this machine cannot execute 32-bit programs (win64 ran them)"
fi

if [ -x build-clang/fuzz/fuzz_records ] || [ -f fuzz/CMakeLists.txt ]; then
  echo "=== fuzz (short run)"
  build clang
  for f in build-clang/fuzz/fuzz_*; do
    [ -x "$f" ] && "$f" -max_total_time=20 -print_final_stats=0 fuzz/corpus 2>&1 | tail -n 2
  done
fi
