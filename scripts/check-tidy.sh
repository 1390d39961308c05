#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over src/ and tools/, using
# the compile_commands.json of a configured build (default build-tests; the
# build must have generated the bus binding header). Exit 1 on any finding.
#   scripts/check-tidy.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${TIRVANE_BUILD_DIR:-$here/build-tests}}"
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-tidy: no $build/compile_commands.json (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)" >&2
  exit 2
fi
# The file patterns are regular expressions over the absolute paths of the database.
run-clang-tidy -quiet -p "$build" -j "${TIRVANE_TIDY_JOBS:-2}" "^$here/src/.*\.cpp$" "^$here/tools/.*\.cpp$"
