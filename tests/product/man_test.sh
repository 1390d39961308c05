#!/usr/bin/env bash
# Formats the installed manual pages with every groff warning enabled; any
# warning fails. Exit 77 (skipped) without groff.
# Usage: man_test.sh DEST
set -euo pipefail

dest=$1
command -v groff >/dev/null || { echo "SKIP: groff is not installed"; exit 77; }
failures=0
for page in "$dest/usr/share/man/man1/tirvanectl.1" "$dest/usr/share/man/man8/tirvane-serverd.8"; do
  if [ ! -f "$page" ]; then
    echo "FAIL: missing $page" >&2
    failures=$((failures + 1))
    continue
  fi
  warnings=$(groff -man -ww -z "$page" 2>&1 || true)
  if [ -n "$warnings" ]; then
    echo "FAIL: groff warns about $page:" >&2
    echo "$warnings" >&2
    failures=$((failures + 1))
  else
    echo "$(basename "$page"): formats cleanly"
  fi
done
[ "$failures" -eq 0 ] || exit 1
