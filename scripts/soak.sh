#!/usr/bin/env bash
# A soak of the library: the test server in fault mode, several host
# threads driving the library through its exported functions, and at the
# end the check that nothing was lost, stale or duplicated and that memory,
# descriptors and threads stayed flat (tools/soak):
#
#   bash scripts/soak.sh [--minutes N | --seconds N] [--seed S] [--preset P] [kvsoak options]
#
# P is asan (the default: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer), default, clang, win64 (run under wine64) or
# win32 (under wine, where the machine runs 32-bit programs). Without a
# duration it runs for a minute; 20 minutes give about 1 000 reconnections.
# Other options go to kvsoak (--no-stall, --without KIND, --long-every N,
# --servers 2 for a main server and a reserve that the client fails over
# between, --history BYTES for the client's value history and its check,
# --record DIR, --log PATH...; --help lists them). The exit status
# is kvsoak's: 0 when every check held.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=asan
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --preset)
      preset=${2:?--preset needs a name}
      shift 2
      ;;
    *)
      args+=("$1")
      shift
      ;;
  esac
done

case $preset in
  default) dir=build ;;
  asan | clang | tsan | win64 | win32) dir=build-$preset ;;
  *)
    echo "soak.sh: unknown preset $preset" >&2
    exit 2
    ;;
esac
case $preset in
  win32 | win64) bash scripts/deps.sh ;;
  *) bash scripts/deps.sh --no-wine ;;
esac
if [ "$preset" = win32 ] && ! { /lib/ld-linux.so.2 --version && [ -x /usr/lib/wine/wine ]; } >/dev/null 2>&1; then
  echo "soak.sh: this machine cannot run 32-bit programs under wine; use --preset win64" >&2
  exit 2
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target kvsoak
case $preset in
  win32 | win64) bash scripts/wine-prefix.sh ;;
esac
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export WINEDEBUG=${WINEDEBUG:--all}
case $preset in
  win64) exec /usr/lib/wine/wine64 "$dir/tools/soak/kvsoak.exe" "${args[@]}" ;;
  win32) exec wine "$dir/tools/soak/kvsoak.exe" "${args[@]}" ;;
  *) exec "$dir/tools/soak/kvsoak" "${args[@]}" ;;
esac
