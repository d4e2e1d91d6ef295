#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds over a working corpus seeded
# from tests/fuzz/seeds/<name> and the example manifests. A crash, an overflow,
# a leak or a hang (10 s for one input) fails the run.
#   run-fuzz.sh FUZZ_BUILD_DIR NAME SECONDS
set -euo pipefail
build=$1 name=$2 seconds=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
corpus=$build/corpus/$name
mkdir -p "$corpus" "$build/findings"
cp -n "$here/seeds/$name"/* "$corpus/" 2>/dev/null || true
if [[ $name == manifest ]]; then
  find "$root/examples" -name '*.manifest' -exec cp -n {} "$corpus/" \; 2>/dev/null || true
fi
exec "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/findings/$name-" -print_final_stats=1 "$corpus"
