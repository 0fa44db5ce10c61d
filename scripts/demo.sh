#!/usr/bin/env bash
# The main job: builds the library, the test server and the sample host with
# the default preset (only these: the tests and benchmarks are built by
# scripts/test.sh) and runs the sample host kvdemo against the bundled test
# server (or, with --server HOST:PORT, a real one). Arguments go to kvdemo;
# see `bash scripts/demo.sh --help`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target kvopros2 kvsim kvdemo
exec build/tools/kvdemo/kvdemo "$@"
