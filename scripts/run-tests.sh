#!/usr/bin/env bash
# Runs CTest in the host tree (which holds every test) and makes sure the Wine
# test bench is stopped however the run ends.
set -euo pipefail
host=$(cd "${1:?host build folder}" && pwd)
export WINEBENCH_DIR=$host/winebench
trap 'tests/winebench/winebench.sh stop >/dev/null 2>&1 || true' EXIT INT TERM
ctest --test-dir "$host" --output-on-failure ${CTEST_ARGS:-}
