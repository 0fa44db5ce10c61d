#!/usr/bin/env bash
# Runs the same host in every language binding against the test server,
# which checks what arrived with one script for all of them
# (tests/bindings/bindings.kvs):
#   - installs the default build (cmake --install) into build/bindings/install;
#   - Python: installs the package from the installed tree with pip (offline),
#     runs its tests, then its sample host;
#   - Free Pascal: compiles the unit's sample host and runs it;
#   - C#: compiles the wrapper's sample host with mono's compiler, runs it.
# Each sample host declares the same channels and attributes, hands over the
# same values, answers the two controls the script sends, shows the library's
# log lines as they come and checks its own side; kvsim's exit code tells
# whether everything the script expects arrived.
#
#   bash scripts/bindings.sh [python] [pascal] [dotnet]     (no argument: all)
#
# The default preset's library and kvsim must be built; scripts/deps.sh
# installs the compilers and runtimes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
languages=("$@")
[ ${#languages[@]} -gt 0 ] || languages=(python pascal dotnet)

work=$root/build/bindings
prefix=$work/install
kvsim=$root/build/tools/kvsim/kvsim
[ -x "$kvsim" ] || { echo "bindings: $kvsim is not built (default preset)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cmake --install build --prefix "$prefix" >/dev/null
share=$prefix/share/kvopros2/bindings
export LD_LIBRARY_PATH=$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
# Hosts and server in a zone away from UTC: time stamps travel as the host's
# local wall time, and a binding that turned them into UTC would show.
export TZ=Asia/Yekaterinburg

quiet() { "$@" >"$work/output.txt" 2>&1 || { cat "$work/output.txt" >&2; return 1; }; }

server_pid=""
# shellcheck source=scripts/kvsim-run.sh
source "$root/scripts/kvsim-run.sh"
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Runs one sample host (its command, to which HOST PORT LOGFILE are added)
# against a fresh kvsim running the script; both must end with 0.
run_host() {
  local name=$1 dir=$work/run-$1
  shift
  mkdir -p "$dir"
  local port
  start_kvsim "$kvsim" tests/bindings/bindings.kvs "$dir" || return 1
  (cd "$dir" && exec "$@" 127.0.0.1 "$port" client.log) >"$dir/host.txt" 2>&1 &
  local host_pid=$! status=0 server_status=0
  wait "$host_pid" || status=$?
  wait "$server_pid" || server_status=$?
  server_pid=""
  if [ "$status" -ne 0 ] || [ "$server_status" -ne 0 ]; then
    echo "bindings ($name): FAILED (host exit $status, kvsim script exit $server_status)" >&2
    sed 's/^/  host| /' "$dir/host.txt" >&2
    tail -n 60 "$dir/server.txt" | sed 's/^/  kvsim| /' >&2
    return 1
  fi
  echo "bindings ($name): channels, attributes, values, controls and answers went through"
}

need() {
  command -v "$1" >/dev/null || { echo "bindings: $1 is missing (bash scripts/deps.sh installs it)" >&2; exit 1; }
}

python=/usr/bin/python3
for language in "${languages[@]}"; do
  case "$language" in
    python)
      need "$python"
      # Offline, from the installed tree, with the system's setuptools.
      quiet "$python" -m pip install --quiet --no-build-isolation --no-index --no-deps \
        --target "$work/python" "$share/python"
      quiet env PYTHONPATH="$work/python" PYTHONDONTWRITEBYTECODE=1 \
        KVOPROS2_LIBRARY="$prefix/lib/libkvopros2.so" \
        "$python" -m pytest -q -p no:cacheprovider bindings/python/tests
      grep -E '^[0-9]+ passed' "$work/output.txt"
      run_host python env PYTHONPATH="$work/python" "$python" "$share/python/sample_host.py"
      ;;
    pascal)
      need fpc
      mkdir -p "$work/pascal"
      quiet fpc -vew -O2 -Fu"$share/pascal" -Fl"$prefix/lib" -FU"$work/pascal" \
        -FE"$work/pascal" "$share/pascal/sample_host.pas"
      run_host pascal "$work/pascal/sample_host"
      ;;
    dotnet)
      need mcs
      need mono
      mkdir -p "$work/dotnet"
      quiet mcs -warnaserror -out:"$work/dotnet/SampleHost.exe" "$share/dotnet/Native.cs" \
        "$share/dotnet/Client.cs" "$share/dotnet/SampleHost.cs"
      run_host dotnet mono "$work/dotnet/SampleHost.exe"
      ;;
    *) echo "usage: bash scripts/bindings.sh [python] [pascal] [dotnet]" >&2; exit 2 ;;
  esac
done
