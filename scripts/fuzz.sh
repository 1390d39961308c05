#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build directory, then runs each target
# for the given number of seconds on a copy of its seed corpus.
#
#   scripts/fuzz.sh [seconds] [target...]      (default: 10 seconds, all five targets)
#
# Environment:
#   TIRVANE_FUZZ_BUILD_DIR   build directory (default: build-fuzz in the source tree)
#   TIRVANE_FUZZ_JOBS        parallel compile jobs (default 2)
#   TIRVANE_FUZZ_SRC_FLAGS   extra compile flags for the service sources (default none)
#   TIRVANE_FUZZ_KEEP_CORPUS directory to keep the grown corpora in (default: discarded)
#
# Exit status: 0 when no target found anything, 1 on a crash, leak, sanitizer
# report or failed check (the input is kept in <build>/fuzz-artifacts), 77 when
# clang++ or its libFuzzer runtime is missing (skipped).
#
# Runs are serialised by a lock on <build>/.fuzz.lock, so concurrent test runs
# share the build directory safely.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

secs="${1:-10}"
shift || true
case "$secs" in
  '' | *[!0-9]*) echo "usage: $0 [seconds] [target...]" >&2; exit 2 ;;
esac
all_targets=(fuzz_receive fuzz_bootloader fuzz_keyfile_list fuzz_keyfile_driver fuzz_fw_description)
if (($#)); then targets=("$@"); else targets=("${all_targets[@]}"); fi

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
  echo "SKIP: clang/clang++ not found (install the clang package)"
  exit 77
fi

build="${TIRVANE_FUZZ_BUILD_DIR:-$here/build-fuzz}"
mkdir -p "$build"
exec 9>"$build/.fuzz.lock"
if ! flock -w 3000 9; then
  echo "fuzz.sh: could not lock $build/.fuzz.lock" >&2
  exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tirvane-fuzz-run-XXXXXX")"
# The targets write their configuration files at every run: on tmpfs when there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  conf_tmp="$(mktemp -d /dev/shm/tirvane-fuzz-conf-XXXXXX)"
else
  conf_tmp="$work/tmp"
  mkdir -p "$conf_tmp"
fi
cleanup() { rm -rf "$work" "$conf_tmp"; }
trap cleanup EXIT

# libFuzzer's runtime comes with libclang-rt-14-dev, which clang only recommends.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
  >"$work/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$work/probe.cpp" -o "$work/probe" >"$work/probe.log" 2>&1; then
  echo "SKIP: clang++ cannot link libFuzzer programs (install libclang-rt-14-dev):"
  sed 's/^/  /' "$work/probe.log" | head -n 5
  exit 77
fi

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
echo "== configuring $build (clang, TIRVANE_FUZZ=ON)"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" "${generator[@]}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DTIRVANE_FUZZ=ON -DTIRVANE_TEST_AREAS=fuzz -DTIRVANE_BUILD_TOOLS=OFF \
  -DTIRVANE_SANITIZE=OFF -DTIRVANE_TSAN=OFF \
  -DTIRVANE_FUZZ_SRC_FLAGS="${TIRVANE_FUZZ_SRC_FLAGS:-}" >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  exit 1
}
fuzz_dir="$here/tests/fuzz"
artifacts="$build/fuzz-artifacts"
logs="$build/fuzz-logs"
mkdir -p "$artifacts" "$logs"

echo "== building ${targets[*]}"
if ! cmake --build "$build" -j"${TIRVANE_FUZZ_JOBS:-2}" --target "${targets[@]}" >"$logs/build.log" 2>&1; then
  grep -E -A3 'error:|warning:' "$logs/build.log" | head -n 60 >&2 || true
  echo "fuzz.sh: the fuzz build failed (log: $logs/build.log)" >&2
  exit 1
fi
export TMPDIR="$conf_tmp" # the targets' configuration directories land here
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$fuzz_dir/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

# Per-target options: longest input worth trying.
max_len_for() {
  case "$1" in
    fuzz_fw_description) echo 512 ;;
    fuzz_bootloader) echo 2100 ;;
    *) echo 4096 ;;
  esac
}

failed=()
summary=()
for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  corpus="$work/corpus/$t"
  mkdir -p "$corpus"
  if [ -d "$fuzz_dir/corpus/$t" ]; then
    cp -r "$fuzz_dir/corpus/$t/." "$corpus/"
  fi
  args=(-max_total_time="$secs" -timeout=30 -rss_limit_mb=2560 -max_len="$(max_len_for "$t")"
        -print_final_stats=1 -artifact_prefix="$artifacts/$t-")
  if [ -f "$fuzz_dir/$t.dict" ]; then
    args+=(-dict="$fuzz_dir/$t.dict")
  fi
  echo "== $t: ${secs}s"
  status=0
  "$bin" "${args[@]}" "$corpus" >"$logs/$t.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    # One pass over the grown corpus with the service's debug log on.
    TIRVANE_FUZZ_LOG_GRADE=3 "$bin" -runs=0 -timeout=30 -rss_limit_mb=2560 \
      -artifact_prefix="$artifacts/$t-log3-" "$corpus" >"$logs/$t.log3.log" 2>&1 || status=$?
  fi
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logs/$t.log" | tail -n 1)"
  cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$logs/$t.log" | tail -n 1)"
  summary+=("$(printf '%-20s %10s runs %7s/s  %s' "$t" "${execs:-?}" "${rate:-?}" "${cov:-}")")
  if [ "$status" -ne 0 ]; then
    failed+=("$t")
    echo "!! $t failed (exit $status); log: $logs/$t.log" >&2
    grep -hE 'ERROR: |SUMMARY: |runtime error|tirvane fuzz check failed|Test unit written' \
      "$logs/$t.log" "$logs/$t.log3.log" 2>/dev/null | head -n 20 >&2 || true
  fi
  if [ -n "${TIRVANE_FUZZ_KEEP_CORPUS:-}" ]; then
    mkdir -p "$TIRVANE_FUZZ_KEEP_CORPUS/$t"
    cp -r "$corpus/." "$TIRVANE_FUZZ_KEEP_CORPUS/$t/"
  fi
done

echo "== summary (logs in $logs)"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
