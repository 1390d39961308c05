#!/usr/bin/env bash
# Builds tirvane-serverd with its test support and runs every test.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

scripts/install-deps.sh

build="${TIRVANE_BUILD_DIR:-$here/build-tests}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 900
