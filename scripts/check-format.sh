#!/usr/bin/env bash
# Checks every tracked C++ source and header against the repository's
# .clang-format; lists the files that drift and exits 1. To mend them:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/tirvane-format.$$; then
  grep -o '^[^: ]*\.\(cpp\|h\):' /tmp/tirvane-format.$$ | sort -u | sed 's/:$//; s/^/drifts from .clang-format: /'
  rm -f /tmp/tirvane-format.$$
  exit 1
fi
rm -f /tmp/tirvane-format.$$
echo "format: ${#files[@]} files follow .clang-format"
