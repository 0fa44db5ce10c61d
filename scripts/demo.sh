#!/usr/bin/env bash
# The main job: builds the library (and, once it exists, runs the sample host
# against the bundled test server).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --no-wine
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
if [ -x build/tools/kvdemo/kvdemo ]; then
  exec build/tools/kvdemo/kvdemo "$@"
fi
echo "Library core built in build/. The sample host kvdemo is not part of the tree yet."
