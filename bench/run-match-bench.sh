#!/usr/bin/env bash
# Latency from a finger to the match signal, with the emulated module.
#   bench/run-match-bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build "$build" -j2 --target match_bench >/dev/null
"$build/bench/match_bench" "${@:2}"
