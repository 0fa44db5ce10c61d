#!/usr/bin/env bash
# Builds the release archives in dist/, one per target:
#   kvopros2-VERSION-linux-x86_64.tar.gz and kvopros2-VERSION-win32.zip,
# each the installed tree (library, header, kvsim, kvdemo, the documents and
# the files by which builds find the library) with SHA256SUMS, the checksum
# of every file in it; dist/kvopros2-VERSION.sha256 lists the archives'.
#
#   bash scripts/package.sh [linux] [win32]      (no argument: both)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh --no-wine

# Integrators read what a version changed in CHANGELOG.md: no archive
# leaves without its entry.
release=$(sed -n 's/^project(kvopros2 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if ! grep -qx "## $release\( .*\)\?" CHANGELOG.md; then
  echo "package.sh: CHANGELOG.md has no entry \"## $release\"; write it first" >&2
  exit 1
fi
# What hosts of this release may rely on, kept so that no later release
# breaks it (the ABI check of the tests).
if [ ! -f "tests/abi/kvopros2-$release.abi" ]; then
  echo "package.sh: no recorded surface for $release; record it first:" >&2
  echo "  python3 tests/abi/check_abi.py . --record >tests/abi/kvopros2-$release.abi" >&2
  exit 1
fi

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux win32)
mkdir -p dist
for target in "${targets[@]}"; do
  case "$target" in
    linux) preset=default build=build suffix=linux-x86_64 ext=tar.gz ;;
    win32) preset=win32 build=build-win32 suffix=win32 ext=zip ;;
    *) echo "usage: bash scripts/package.sh [linux] [win32]" >&2; exit 2 ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target kvopros2 kvsim kvdemo
  version=$(sed -n 's/^#define KVOPROS2_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
            "$build/include/kvopros2_version.h" | paste -sd.)
  name=kvopros2-$version-$suffix
  staging=$root/$build/release
  rm -rf "$staging"
  cmake --install "$build" --prefix "$staging/$name" --strip >/dev/null
  (cd "$staging/$name" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
  rm -f "dist/$name.$ext"
  if [ "$ext" = zip ]; then
    (cd "$staging" && cmake -E tar cf "$root/dist/$name.zip" --format=zip "$name")
  else
    (cd "$staging" && cmake -E tar czf "$root/dist/$name.tar.gz" "$name")
  fi
  echo "dist/$name.$ext"
done
# Every archive of this version in dist/, also those of earlier runs.
(cd dist && shopt -s nullglob && sha256sum "kvopros2-$version"-*.tar.gz "kvopros2-$version"-*.zip \
   >"kvopros2-$version.sha256")
echo "dist/kvopros2-$version.sha256"
