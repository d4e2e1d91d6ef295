#!/usr/bin/env bash
# make fuzz: builds the trees and runs every fuzz target for SECONDS each,
# then the full corruption campaign (CAMPAIGN_POSITIONS flipped bytes,
# default 1000) in a Wine test bench of its own, stopped however the run ends.
set -euo pipefail
seconds=${1:-600}
cd "$(dirname "$0")/.."
root=$PWD
make --no-print-directory all
status=0
for t in manifest getargs archive installed; do
  echo "fuzz: $t for ${seconds}s"
  tests/fuzz/run-fuzz.sh "$root/build/fuzz" "$t" "$seconds" 2>&1 | grep -v '^"' | tail -n 12 || status=1
done

export WINEBENCH_DIR=$root/build/fuzz/winebench WIN_BUILD_DIR=$root/build/win HOST_BUILD_DIR=$root/build/host
export SOURCE_DIR=$root ARTIFACTS=$root/build/fuzz/artifacts CAMPAIGN_POSITIONS=${CAMPAIGN_POSITIONS:-1000}
trap 'tests/winebench/winebench.sh stop >/dev/null 2>&1 || true' EXIT INT TERM
tests/winebench/winebench.sh start
echo "fuzz: the corruption campaign, $CAMPAIGN_POSITIONS flipped bytes"
tests/winebench/winebench.sh exec /usr/bin/python3 tests/e2e/test_archive.py Campaign || status=1
exit $status
