#!/usr/bin/env bash
# Builds the service, the libusb stand-in and the stress tests with
# ThreadSanitizer (build-tsan) and runs the load test for a short time; then
# reports whether ThreadSanitizer warned in the daemon and in the test program.
#
#   scripts/tsan-stress.sh              # 20 s of load
#   TIRVANE_STRESS_SECONDS=60 scripts/tsan-stress.sh
#   scripts/tsan-stress.sh vanish faults   # other stress programs as well (load is always run)
#
# The daemon is a child of the test; its reports go to files of their own
# (TSAN_OPTIONS log_path, passed through DaemonOptions.env), kept in the
# directory printed at the end. Exit status: 0 no warnings, 1 warnings, 2 the
# run itself failed (build, start, or a failing test without warnings).
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

build="${TIRVANE_TSAN_BUILD_DIR:-$here/build-tsan}"
seconds="${TIRVANE_STRESS_SECONDS:-20}"
programs=(load "$@")

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIRVANE_TSAN=ON \
  -DTIRVANE_TEST_AREAS="stress;e2e" -DTIRVANE_BUILD_TOOLS=OFF >/dev/null || exit 2
targets=()
for p in "${programs[@]}"; do targets+=("stress_$p"); done
cmake --build "$build" -j2 --target "${targets[@]}" || exit 2

out="$(mktemp -d /tmp/tirvane-tsan-XXXXXX)"
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 suppressions=$here/tests/stress/tsan.supp"
export TIRVANE_STRESS_SECONDS="$seconds"
# Settling is for the thread/fd base line; under the sanitizer the start-up
# threads take longer, so leave the default.
export TIRVANE_STRESS_DAEMON_TSAN_LOG="$out/daemon"
# The stand-in is preloaded into the daemon. Both are built with the sanitizer;
# should the runtime ever need to come first, name it here (it is then put in
# front of the stand-in in LD_PRELOAD).
runtime="$(ldd "$build/tirvane-serverd" 2>/dev/null | awk '/libtsan/ {print $3; exit}')"
if [ "${TIRVANE_TSAN_PRELOAD_RUNTIME:-0}" = 1 ] && [ -n "$runtime" ]; then
  export TIRVANE_STRESS_PRELOAD_FIRST="$runtime"
fi

failed=0
for p in "${programs[@]}"; do
  echo "== stress_$p under ThreadSanitizer (${seconds} s of load for 'load')"
  "$build/tests/stress_$p" >"$out/test-$p.out" 2>&1 || failed=1
  grep -E '^\[figure\]|^\[  (PASSED|FAILED) ' "$out/test-$p.out" || true
done

daemon_logs=("$out"/daemon.*)
[ -e "${daemon_logs[0]}" ] || daemon_logs=()
daemon_warnings=0
if [ ${#daemon_logs[@]} -gt 0 ]; then
  daemon_warnings=$(cat "${daemon_logs[@]}" | grep -c 'WARNING: ThreadSanitizer' || true)
fi
test_warnings=$(cat "$out"/test-*.out | grep -c 'WARNING: ThreadSanitizer' || true)
started=$(cat "$out"/test-*.out | grep -c 'daemon_pid =' || true)

echo
echo "== ThreadSanitizer summary (reports kept in $out)"
echo "daemons started: $started, of which wrote reports: ${#daemon_logs[@]}"
echo "daemon warnings: $daemon_warnings"
echo "test program warnings: $test_warnings"
if [ "$daemon_warnings" -gt 0 ]; then
  echo "-- daemon warnings by kind and first frame of our code:"
  cat "${daemon_logs[@]}" | awk '
    /WARNING: ThreadSanitizer/ { kind = $0; sub(/.*ThreadSanitizer: /, "", kind); sub(/ \(pid=.*/, "", kind); want = 1; next }
    want && /#[0-9]+ .*\/work\// { frame = $0; sub(/^ *#[0-9]+ /, "", frame); print kind " @ " frame; want = 0 }
  ' | sort | uniq -c | sort -rn
fi
if grep -q 'FATAL: ThreadSanitizer' "$out"/test-*.out "${daemon_logs[@]}" 2>/dev/null; then
  echo "ThreadSanitizer could not run:"
  grep -h 'FATAL: ThreadSanitizer' "$out"/test-*.out "${daemon_logs[@]}" 2>/dev/null | sort -u
  exit 2
fi
if [ "$daemon_warnings" -gt 0 ] || [ "$test_warnings" -gt 0 ]; then
  exit 1
fi
[ "$failed" = 0 ] || exit 2
exit 0
