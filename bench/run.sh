#!/usr/bin/env bash
# The benchmark (make bench): fixed payloads in a cache under the build
# folder, installers packed by mkinst, every timing taken in one Wine bench
# (a fresh prefix, one Xvfb, one wineserver) that is stopped however the run
# ends. Arguments pass on to bench/bench.py: --runs N, measurement names.
# Installations go to a folder on the tmpfs /dev/shm, mapped into the prefix
# as drive T: (no pause after mass deletions, both installers on the same
# drive); BENCH_DRIVE=disk puts them on the prefix's C: instead. The
# wineserver and every program run on the last CPU (see pin() in bench.py);
# BENCH_CPU=N picks another, BENCH_CPU=none lets them roam. The packers
# (mkinst, pigz, gzip) always run on every CPU.
#
#   BUILD=build [BENCH_DRIVE=disk] [BENCH_CPU=N|none] bench/run.sh [--runs N]
#       [stub] [packing] [filecheck] [install] [first_window] [interactive] [removal]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(pwd)/${BUILD:-build}
[[ -x $build/host/mkinst && -f $build/win/wininst.exe ]] || {
  echo "bench: build first (make BUILD=${BUILD:-build})" >&2
  exit 1
}
for tool in makensis pigz; do
  command -v $tool >/dev/null || {
    echo "bench: $tool is missing (make setup installs it)" >&2
    exit 1
  }
done
export WINEBENCH_DIR=$build/bench/winebench
drive=()  # options for bench.py: where installations go, which CPU
tmpfs=
cleanup() {
  tests/winebench/winebench.sh stop >/dev/null 2>&1 || true
  if [[ -n $tmpfs ]]; then rm -rf "$tmpfs"; fi
}
trap cleanup EXIT INT TERM
if [[ ${BENCH_DRIVE:-tmpfs} != disk && $(stat -f -c %T /dev/shm 2>/dev/null) == tmpfs ]]; then
  tmpfs=$(mktemp -d /dev/shm/meridox-bench.XXXXXX)
  drive=(--tmpfs "$tmpfs")
fi
cpu=${BENCH_CPU:-$(($(nproc) - 1))}
[[ $cpu == none ]] || drive+=(--cpu "$cpu")
tests/winebench/winebench.sh start >/dev/null
echo "bench: medians of pairwise runs; ratios compare with the native tools, NSIS and the limit probe"
tests/winebench/winebench.sh exec /usr/bin/python3 bench/bench.py --build "$build" "${drive[@]}" "$@"
