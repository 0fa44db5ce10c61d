#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, only
# when it is missing. Idempotent; safe to run on every build.
#   (no argument)  everything, wine for the Windows tests and the language
#                  bindings' compilers and runtimes included
#   --no-wine      everything but wine and the bindings' tools (packaging)
#   --demo         only what the main job builds with: the default preset
set -euo pipefail

mode=${1:-all}
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
if [ "$mode" != --demo ]; then
  packages+=(clang clang-format-14 clang-tidy-14 libclang-rt-14-dev llvm-14 googletest g++-mingw-w64-i686
             g++-mingw-w64-x86-64 pkg-config)
fi
if [ "$mode" = all ]; then
  # The language bindings' runs: Free Pascal, mono's C# compiler and
  # runtime, and the system's Python with pip, setuptools and pytest (the
  # package installs from the tree, offline).
  packages+=(fp-compiler mono-mcs mono-runtime python3 python3-pip python3-setuptools
             python3-wheel python3-pytest)
fi
for p in "${packages[@]}"; do
  have "$p" || need+=("$p")
done
if [ "$mode" = all ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need+=(wine wine32)
  fi
  have wine || need+=(wine)
  have wine64 || need+=(wine64)
  have wine32:i386 || need+=(wine32)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index now and then. What the other
  # indexes list still installs; a package that cannot be had then fails
  # below with apt's own message.
  apt-get update -qq || { sleep 5; apt-get update -qq; } ||
    echo "deps: a package index could not be updated; installing from what is known"
  # The 32-bit wine needs the i386 packages at the very versions of the
  # installed 64-bit ones, which a stale i386 index cannot give. Without it
  # the tests still run; only the 32-bit Windows suite is skipped (the
  # test script says so).
  rest=()
  for p in "${need[@]}"; do [ "$p" = wine32 ] || rest+=("$p"); done
  if [ ${#rest[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
  fi
  if [ ${#rest[@]} -lt ${#need[@]} ] &&
     ! apt-get install -y -qq --no-install-recommends wine32 >/dev/null 2>&1; then
    echo "deps: wine32 (the 32-bit wine) could not be installed; the 32-bit Windows tests cannot run"
  fi
fi
