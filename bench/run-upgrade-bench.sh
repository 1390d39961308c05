#!/usr/bin/env bash
# Whole firmware upgrades through the emulated module, beside the protocol's floor.
set -euo pipefail
build="${1:-build-tests}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
TIRVANE_EMU_SOCKET="$dir/emu.sock" TIRVANE_EMU_PRESENT=boot TIRVANE_EMU_REENUM_MS=20 \
  "$build/bench/upgrade_bench" --benchmark_filter=UpgradeAttempt "${@:2}"
