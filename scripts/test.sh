#!/usr/bin/env bash
# Sets up, builds and runs every Corvane test: all GoogleTest suites under ctest (with AddressSanitizer and
# UndefinedBehaviorSanitizer), a short run of every benchmark (optimised build), and a short run of every
# fuzzer (clang, libFuzzer).
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
# Timings under the sanitizers mean nothing, so the benchmarks get a build of their own.
bench_build=${CORVANE_BENCH_BUILD:-build-bench}
cmake -S . -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF >/dev/null
bench_targets=$(ninja -C "$bench_build" -t targets all | grep -o '^bench_[a-z_]*' | grep -v autogen | sort -u)
ninja -C "$bench_build" -j "$jobs" $bench_targets
for b in "$bench_build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "-- $(basename "$b")"
  log="$bench_build/$(basename "$b").log"
  "$b" --benchmark_min_time=0.01 --benchmark_color=false >"$log" 2>&1 || { echo "benchmark $(basename "$b") failed:"; tail -20 "$log"; status=1; }
  grep -i -E 'ratio|alloc|repaint|median|cpu over' "$log" | head -20 || true
done

echo "== Fuzzers (clang, libFuzzer, 20 s each) =="
if ls fuzz/*.cmake >/dev/null 2>&1; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF >/dev/null
  targets=$(ninja -C build-fuzz -t targets all | grep -o '^fuzz_[a-z_]*' | grep -v autogen | sort -u)
  for t in $targets; do
    ninja -C build-fuzz "$t" >/dev/null
    mkdir -p "build-fuzz/corpus-$t"
    seeds=""; [ -d "fuzz/corpus/$t" ] && seeds="fuzz/corpus/$t"
    if ./build-fuzz/fuzz/"$t" -max_total_time=20 -rss_limit_mb=2048 "build-fuzz/corpus-$t" $seeds >"build-fuzz/$t.log" 2>&1; then
      echo "fuzzer $t: $(grep -o 'Done [0-9]* runs' "build-fuzz/$t.log" | tail -1), no failure"
    else
      echo "fuzzer $t failed:"; tail -30 "build-fuzz/$t.log"; status=1
    fi
  done
fi
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
