#!/usr/bin/env bash
# Builds a small host against the installed library, as an integrator would,
# and runs it against the test server:
#   - installs the preset's build (cmake --install) into BUILD/consumer/install;
#   - builds tests/consumer as a project of its own with find_package(kvopros2),
#     and on Linux the same source once more with pkg-config;
#   - runs each program against kvsim with the script tests/consumer/consumer.kvs
#     (login, channels, attribute, value, a control and the program's answer),
#     whose exit code tells whether every step held, and checks the log.
#
#   bash scripts/consumer.sh default|win32 [--build-only]
#
# The preset's library, kvsim and kvdemo must be built; the Windows program
# runs under wine against the Linux kvsim of the default build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
preset=${1:-}
mode=${2:-run}
case "$preset" in
  default) build=build ;;
  win32) build=build-win32 ;;
  *) echo "usage: bash scripts/consumer.sh default|win32 [--build-only]" >&2; exit 2 ;;
esac
export WINEDEBUG=-all

work=$root/$build/consumer
prefix=$work/install
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null

args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix")
[ "$preset" = win32 ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake")
quiet() { "$@" >"$work/output.txt" 2>&1 || { cat "$work/output.txt" >&2; return 1; }; }
quiet cmake -S tests/consumer -B "$work/cmake" "${args[@]}"
grep -- '-- kvopros2 ' "$work/output.txt"
quiet cmake --build "$work/cmake"

version=$(sed -n 's/^#define KVOPROS2_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
          "$prefix/include/kvopros2_version.h" | paste -sd.)
if [ "$preset" = win32 ]; then
  programs=("wine $work/cmake/consumer.exe")
else
  programs=("$work/cmake/consumer")
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  pc_version=$(pkg-config --modversion kvopros2)
  [ "$pc_version" = "$version" ] || { echo "pkg-config says $pc_version, the header $version" >&2; exit 1; }
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Werror tests/consumer/consumer.c \
     $(pkg-config --cflags --libs kvopros2) -o "$work/consumer-pkgconfig"
  programs+=("env LD_LIBRARY_PATH=$prefix/lib $work/consumer-pkgconfig")
fi
echo "consumer ($preset): built against the installed kvopros2 $version"
[ "$mode" = --build-only ] && exit 0
[ "$preset" = win32 ] && bash scripts/wine-prefix.sh

kvsim=$root/build/tools/kvsim/kvsim
[ -x "$kvsim" ] || { echo "consumer: $kvsim is not built (default preset)" >&2; exit 1; }

server_pid=""
# shellcheck source=scripts/kvsim-run.sh
source "$root/scripts/kvsim-run.sh"
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

run_one() {
  local name=$1 program=$2 dir=$work/run-$1
  mkdir -p "$dir"
  local port
  start_kvsim "$kvsim" tests/consumer/consumer.kvs "$dir" || return 1
  # shellcheck disable=SC2086
  (cd "$dir" && exec $program 127.0.0.1 "$port" client.log) >"$dir/consumer.txt" 2>&1 &
  local client_pid=$! status=0 server_status=0
  wait "$client_pid" || status=$?
  wait "$server_pid" || server_status=$?
  server_pid=""
  local log
  log=$(iconv -f CP1251 -t UTF-8 "$dir/client.log" 2>/dev/null || true)
  if [ "$status" -ne 0 ] || [ "$server_status" -ne 0 ] ||
     ! grep -q "consumer: kvopros2 $version" "$dir/consumer.txt" ||
     ! grep -q "Начало работы с сервером Kavrel \[версия [0-9]*\.[0-9]*\]" <<<"$log"; then
    echo "$name: FAILED (consumer exit $status, kvsim script exit $server_status)" >&2
    sed 's/^/  consumer| /' "$dir/consumer.txt" >&2
    sed 's/^/  kvsim| /' "$dir/server.txt" >&2
    sed 's/^/  log| /' <<<"$log" >&2
    return 1
  fi
  echo "consumer ($preset, $name): logged in, value, control and answer went through"
}

run_one find_package "${programs[0]}"
if [ ${#programs[@]} -gt 1 ]; then run_one pkg-config "${programs[1]}"; fi
