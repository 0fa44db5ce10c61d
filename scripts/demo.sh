#!/usr/bin/env bash
# The main job: builds everything with the default preset and runs the sample
# host kvdemo against the bundled test server (or, with --server HOST:PORT, a
# real one). Arguments go to kvdemo; see `bash scripts/demo.sh --help`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --no-wine
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
exec build/tools/kvdemo/kvdemo "$@"
