#!/usr/bin/env bash
# make demo: packs the sample product with mkinst, installs it headless under
# Wine into a fresh prefix, shows what was installed, removes it with the
# installed setup.exe and shows what is left.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export WINEBENCH_DIR=$root/build/demo/winebench
export SOURCE_DIR=$root WIN_BUILD_DIR=$root/build/win HOST_BUILD_DIR=$root/build/host
export ARTIFACTS=$root/build/demo
trap 'tests/winebench/winebench.sh stop >/dev/null 2>&1 || true' EXIT INT TERM
echo "== Starting a fresh 32-bit Wine prefix (Xvfb display, persistent wineserver)"
tests/winebench/winebench.sh start
tests/winebench/winebench.sh exec /usr/bin/python3 examples/demo.py
