#!/usr/bin/env bash
# make fuzz: builds the fuzz tree and runs every target for SECONDS each.
set -euo pipefail
seconds=${1:-600}
cd "$(dirname "$0")/.."
make --no-print-directory fuzz-tree
for t in manifest getargs; do
  echo "fuzz: $t for ${seconds}s"
  tests/fuzz/run-fuzz.sh "$PWD/build/fuzz" "$t" "$seconds" 2>&1 | tail -n 12
done
