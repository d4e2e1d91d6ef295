#!/usr/bin/env bash
# The benchmark (make bench): fixed payloads in a cache under the build
# folder, installers packed by mkinst, every timing taken in one Wine bench
# (a fresh prefix, one Xvfb, one wineserver) that is stopped however the run
# ends. Arguments pass on to bench/bench.py: --runs N, measurement names.
#
#   BUILD=build bench/run.sh [--runs N] [packing] [filecheck]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(pwd)/${BUILD:-build}
[[ -x $build/host/mkinst && -f $build/win/wininst.exe ]] || {
  echo "bench: build first (make BUILD=${BUILD:-build})" >&2
  exit 1
}
export WINEBENCH_DIR=$build/bench/winebench
trap 'tests/winebench/winebench.sh stop >/dev/null 2>&1 || true' EXIT INT TERM
tests/winebench/winebench.sh start >/dev/null
echo "bench: medians of pairwise runs; ratios compare with the native tools"
tests/winebench/winebench.sh exec /usr/bin/python3 bench/bench.py --build "$build" "$@"
