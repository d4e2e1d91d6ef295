#!/usr/bin/env bash
# Runs CTest in the host tree (which holds every test) and makes sure the Wine
# test benches (the 32-bit one and the 64-bit one) are stopped however the run ends.
set -euo pipefail
host=$(cd "${1:?host build folder}" && pwd)
stop_benches() {
  local bench
  for bench in winebench winebench64; do
    WINEBENCH_DIR=$host/$bench tests/winebench/winebench.sh stop >/dev/null 2>&1 || true
  done
}
trap stop_benches EXIT INT TERM
ctest --test-dir "$host" --output-on-failure ${CTEST_ARGS:-}
