#!/usr/bin/env bash
# Builds tirvane-serverd with its test support and runs every test: first the
# normal build, then the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Set TIRVANE_SKIP_SANITIZERS=1 to run only the first.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

scripts/install-deps.sh

build="${TIRVANE_BUILD_DIR:-$here/build-tests}"
echo "== build and test ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
# The stress tests run one at a time; these sizes keep them to about ten minutes.
export TIRVANE_STRESS_SECONDS="${TIRVANE_STRESS_SECONDS:-30}"
export TIRVANE_CRASH_ROUNDS="${TIRVANE_CRASH_ROUNDS:-20}"
ctest --test-dir "$build" -j2 --output-on-failure --timeout 900

if [ "${TIRVANE_SKIP_SANITIZERS:-0}" != 1 ]; then
  asan="${TIRVANE_ASAN_BUILD_DIR:-$here/build-asan}"
  echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer ($asan)"
  # Fuzzing and stress have their own sanitizer runs (scripts/fuzz.sh, scripts/tsan-stress.sh).
  cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIRVANE_SANITIZE=ON \
    -DTIRVANE_TEST_AREAS="unit;driver;upgrade;emulator;e2e;product" >/dev/null
  cmake --build "$asan" -j2
  # The daemon preloads the libusb stand-in in front of the sanitizer runtime.
  export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=1:suppressions=$here/tests/asan.supp"
  export LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  ctest --test-dir "$asan" -j2 --output-on-failure --timeout 1800
fi
