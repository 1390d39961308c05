#!/usr/bin/env bash
# The desktop interface of the service beside fprintd's own daemon and
# libfprint's virtual device, one private bus each, in one run. Installs the
# peer (scripts/bench-deps.sh), builds only what the benchmark needs, and runs
# it; without the peer it says why and ends.
#   bench/run-desktop-bench.sh [BUILD_DIR] [CALL_ROUNDS] [TOUCH_ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
"$root/scripts/bench-deps.sh" || echo "the peer's packages could not be installed; the peer is skipped"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build "$build" -j2 --target desktop_bench >/dev/null
"$build/bench/desktop_bench" "${@:2}"
