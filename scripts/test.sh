#!/usr/bin/env bash
# Sets up, builds and runs every Corvane test: all GoogleTest suites under ctest (with AddressSanitizer and
# UndefinedBehaviorSanitizer), a short run of every benchmark (optimised build), and a short run of every
# fuzzer (clang, libFuzzer) from a fixed seed.
# Run as root: the tests that tear connections down run in private network namespaces, and the registry
# tests also run parts as an unprivileged user.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
./scripts/deps.sh

jobs=$(nproc)
build=${CORVANE_TEST_BUILD:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON >/dev/null
ninja -C "$build" -j "$jobs"

. scripts/display.sh
start_virtual_display

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-xcb}
# The virtual display has a tray host: tray tests must find it, not skip.
export CORVANE_REQUIRE_TRAY=1

status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" 2>&1 | tee "$build/ctest.log" || status=1

echo "== Benchmarks (optimised build, short run) =="
# Timings under the sanitizers mean nothing, so the benchmarks get a build of their own. It builds
# everything (tests included, not run again), so the optimised build type is checked to build as well.
bench_build=${CORVANE_BENCH_BUILD:-build-bench}
cmake -S . -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$bench_build" -j "$jobs"
for b in "$bench_build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "-- $(basename "$b")"
  log="$bench_build/$(basename "$b").log"
  "$b" --benchmark_min_time=0.01 --benchmark_color=false >"$log" 2>&1 || { echo "benchmark $(basename "$b") failed:"; tail -20 "$log"; status=1; }
  { grep -i -E 'ratio|alloc|repaint|median|cpu over' "$log"; grep -E '^(MEMORY|LOAD) ' "$log"; } | grep -v '^Benchmark' | head -40 || true
done

echo "== Package (built from the optimised tree, checked, installed and removed) =="
CORVANE_PACKAGE_BUILD="$bench_build" CORVANE_JOBS="$jobs" ./scripts/package_check.sh || { echo "package check failed"; status=1; }

echo "== Fuzzers (clang, libFuzzer: fixed seed, fixed number of runs over the kept corpus) =="
# The same commit gives the same verdict on every run: a fixed seed and a count of runs, not a time
# bound. The kept corpus is only read (new inputs go to a scratch folder); every input that once failed
# stays in fuzz/corpus/<name>/ and is also replayed by the test suites above. Longer exploratory
# fuzzing: scripts/fuzz.sh.
. scripts/fuzz_build.sh
build_fuzzers
fuzz_runs=${CORVANE_FUZZ_RUNS:-100000}
for t in $FUZZ_TARGETS; do
  work="build-fuzz/work-$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  # Without address-space randomisation, Qt's hash seed or corpus reloads by the clock, the comparisons
  # libFuzzer learns from (pointers among them) and so its whole course are the same on every run.
  if QT_HASH_SEED=0 setarch -R ./build-fuzz/fuzz/"$t" -seed=1 -runs="$fuzz_runs" -reload=0 -rss_limit_mb=2048 \
      -timeout=60 -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$t" >"$work.log" 2>&1; then
    echo "fuzzer $t: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$work.log" | tail -1), no failure"
  else
    echo "fuzzer $t failed (keep the failing input in fuzz/corpus/$t/ with the fix):"
    tail -30 "$work.log"
    status=1
  fi
done
# The test suites' result once more, as the last line.
summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$build/ctest.log" | tail -1 || true)
total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
if [ -n "$summary" ]; then
  echo "ctest: $((total - failed)) passed, $failed failed"
else
  echo "ctest: no result"; status=1
fi
exit $status
