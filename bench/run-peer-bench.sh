#!/usr/bin/env bash
# Round trips of the service beside fprintd, on one private bus, in one run.
# Installs the peer (scripts/bench-deps.sh), builds only what the benchmark
# needs, and runs it; without the peer it measures the service alone.
#   bench/run-peer-bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
"$root/scripts/bench-deps.sh" || echo "the peer's packages could not be installed; the peer is skipped"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build "$build" -j2 --target peer_bench >/dev/null
"$build/bench/peer_bench" "${@:2}"
