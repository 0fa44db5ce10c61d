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
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
