#!/usr/bin/env bash
# Builds the release preset and measures the host interface's figures: every
# scenario of build/bench/bench_host, each run in its own process, against the
# test server on loopback; prints the table of medians and spreads beside the
# targets. Arguments go to `bench_host table`:
#   --runs N          runs per scenario (default 3)
#   --only NAME,NAME  only these scenarios (bench_host list names them)
#   --library PATH    measure another build of libkvopros2.so
#   --baseline PATH   also measure this build of libkvopros2.so, beside each
#                     run, and show its medians as "before"
#   --smoke           tiny sizes, a few seconds, figures meaningless
# Exits non-zero when a run could not measure or the server did not receive
# what the host handed over.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --no-wine
cmake --preset default >/dev/null
cmake --build --preset default --target kvopros2 bench_host bench_send
build/bench/bench_host table "$@"
