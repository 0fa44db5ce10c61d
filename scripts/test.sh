#!/usr/bin/env bash
# Builds and runs every test: gcc release, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang with ThreadSanitizer, the Windows build
# under wine, a one-minute soak of the sanitized build under faults and a
# short one of the Windows build, and short fuzzing runs. The 32-bit Windows
# build (the shipped DLL) runs its tests and its soak where the machine can
# execute 32-bit programs; the 64-bit Windows build runs them under wine64
# everywhere, so the Windows code is always exercised.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export WINEDEBUG=-all
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
start=$SECONDS

build() {
  local preset=$1
  shift
  echo "=== build $preset ($((SECONDS - start)) s)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "$@"
}
run() {
  echo "=== test $1 ($((SECONDS - start)) s)"
  ctest --preset "$1" -j "$jobs"
}
# The soak program with its arguments (under wine for the Windows builds).
soak() {
  echo "=== soak $* ($((SECONDS - start)) s)"
  "$@" --warm-up 10
}

for preset in default asan tsan win64; do
  build "$preset"
  run "$preset"
done
soak build-asan/tools/soak/kvsoak --seconds 60

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  build win32
  run win32
  soak wine build-win32/tools/soak/kvsoak.exe --seconds 30
else
  # The same sources were compiled and tested by the 64-bit Windows build;
  # here only the shipped DLL and the sample host are built.
  build win32 --target kvopros2 kvdemo
  echo "=== test win32: skipped, this machine cannot execute 32-bit programs (win64 ran them)"
  soak /usr/lib/wine/wine64 build-win64/tools/soak/kvsoak.exe --seconds 30
fi

build clang --target fuzz_records_run fuzz_receive_run
echo "=== done ($((SECONDS - start)) s)"
