#!/usr/bin/env bash
# Checks the code's format (scripts/format.sh) and the library's sources with
# clang-tidy (scripts/tidy.sh), then builds and runs every
# test: gcc release, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang with ThreadSanitizer, the Windows build
# under wine, a one-minute soak of the sanitized build under faults and a
# short one of the Windows build, and short fuzzing runs. The 32-bit Windows
# build (the shipped DLL) runs its tests and its soak where the machine can
# execute 32-bit programs; the 64-bit Windows build runs them under wine64
# everywhere, so the Windows code is always exercised. After the gcc and the
# 32-bit Windows builds, a small host is built against the installed library
# (find_package, pkg-config) and run against the test server
# (scripts/consumer.sh); after the gcc build, the Pascal, .NET and Python
# bindings run the same host against it (scripts/bindings.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

runs32=no
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "=== this machine cannot execute 32-bit programs: the win32 tests are skipped (win64 runs the same code)"
elif [ ! -x /usr/lib/wine/wine ]; then
  echo "=== this machine executes 32-bit programs, but the 32-bit wine is missing: the win32 tests are skipped (win64 runs the same code)"
else
  runs32=yes
  echo "=== this machine executes 32-bit programs: the win32 tests (the shipped DLL) run"
fi

jobs=$(nproc)
export WINEDEBUG=-all
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
start=$SECONDS

echo "=== format check"
bash scripts/format.sh --check
echo "=== static checks ($((SECONDS - start)) s)"
bash scripts/tidy.sh

build() {
  local preset=$1
  shift
  echo "=== build $preset ($((SECONDS - start)) s)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "$@"
}
run() {
  echo "=== test $1 ($((SECONDS - start)) s)"
  case $1 in
    win*) run_wine "$1" ;;
    *) ctest --preset "$1" -j "$jobs" ;;
  esac
}
# Under wine a test program has, rarely and on no test's account, stayed
# alive after its last test (or before its first) until the time-out. Wine's
# server and its own system processes are kept up for the whole run, so
# programs do not start them concurrently, and tests that ran into their
# time-out (and only those) run once more, said aloud; a second hang fails.
run_wine() {
  local log=build-$1/ctest-output.txt
  /usr/lib/wine/wineserver -p 2>/dev/null || true
  /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
  if ctest --preset "$1" -j "$jobs" 2>&1 | tee "$log"; then return 0; fi
  local failed hung
  failed=$(grep -Ec '^[[:space:]]+[0-9]+ - .*\(' "$log" || true)
  hung=$(grep -Ec '^[[:space:]]+[0-9]+ - .*\(Timeout\)' "$log" || true)
  if [ "$failed" -eq 0 ] || [ "$hung" -ne "$failed" ]; then return 1; fi
  echo "=== $1: $hung test program(s) hung under wine; running them once more"
  ctest --preset "$1" -j "$jobs" --rerun-failed
}
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
# The soak program with its arguments (under wine for the Windows builds).
soak() {
  echo "=== soak $* ($((SECONDS - start)) s)"
  "$@" --warm-up 10
}

consumer() {
  echo "=== installed library, $1 ($((SECONDS - start)) s)"
  bash scripts/consumer.sh "$@"
}

# Wine makes its prefix on first use; the tests start many wine processes at
# once, so the prefix is made (or mended) before.
bash scripts/wine-prefix.sh

for preset in default asan tsan win64; do
  build "$preset"
  run "$preset"
  if [ "$preset" = default ]; then
    consumer default
    echo "=== language bindings ($((SECONDS - start)) s)"
    bash scripts/bindings.sh
  fi
done
soak build-asan/tools/soak/kvsoak --seconds 60

if [ $runs32 = yes ]; then
  build win32
  run win32
  consumer win32
  soak wine build-win32/tools/soak/kvsoak.exe --seconds 30
else
  # The same sources were compiled and tested by the 64-bit Windows build;
  # here only the shipped DLL, the tools and a host linking the DLL are built.
  build win32 --target kvopros2 kvsim kvdemo
  echo "=== test win32: skipped, no 32-bit programs under wine here (win64 ran them)"
  consumer win32 --build-only
  soak /usr/lib/wine/wine64 build-win64/tools/soak/kvsoak.exe --seconds 30
fi

# The benchmarks of the default build, one short run each: they must still
# run and deliver everything; their figures are not checked here.
echo "=== benchmarks, one short run each ($((SECONDS - start)) s)"
build/bench/bench_send --benchmark_min_time=0.001
build/bench/bench_host table --smoke --runs 1

# One summary line per fuzz target; the fuzzer's own output goes to a file.
build clang --target fuzz_records_run fuzz_receive_run
echo "=== done ($((SECONDS - start)) s)"
