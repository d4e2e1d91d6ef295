#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds over a working corpus seeded
# from tests/fuzz/seeds/<name>, the example manifests and, for the archive
# reader, installers that mkinst builds from the examples (seed_archive.py;
# MKINST and STUB default to the host and Windows trees beside the fuzz tree).
# A crash, an overflow, a leak or a hang (10 s for one input) fails the run.
#   run-fuzz.sh FUZZ_BUILD_DIR NAME SECONDS
set -euo pipefail
build=$1 name=$2 seconds=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
corpus=$build/corpus/$name
mkdir -p "$corpus" "$build/findings"
cp -n "$here/seeds/$name"/* "$corpus/" 2>/dev/null || true
case $name in
  manifest)
    find "$root/examples" -name '*.manifest' -exec cp -n {} "$corpus/" \; 2>/dev/null || true
    ;;
  installed)
    # Archive manifests under the seeds' signature line: a maintenance run
    # reads the same sections.
    for m in "$root"/examples/*/*.manifest; do
      [[ -e $corpus/archive-$(basename "$m") ]] ||
        { echo 0123456789ABCDEF0123456789ABCDEF; cat "$m"; } >"$corpus/archive-$(basename "$m")"
    done
    ;;
  archive)
    /usr/bin/python3 "$here/seed_archive.py" "${MKINST:-$build/../host/mkinst}" \
      "${STUB:-$build/../win/wininst.exe}" "$corpus"
    ;;
esac
exec "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/findings/$name-" -print_final_stats=1 "$corpus"
