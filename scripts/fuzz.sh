#!/usr/bin/env bash
# Exploratory fuzzing, for developers (CI does not run this): each target, or the ones named, for
# SECONDS (default 300) from a random seed. New interesting inputs land in build-fuzz/explore-<name>/;
# an input that fails is copied into fuzz/corpus/<name>/ as regression-<hash>, where the test suite
# replays it from then on (commit it with the fix).
# Usage: sudo ./scripts/fuzz.sh [--seconds N] [TARGET ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=300
if [ "${1:-}" = "--seconds" ]; then seconds=$2; shift 2; fi
./scripts/deps.sh
. scripts/fuzz_build.sh
build_fuzzers
targets=${*:-$FUZZ_TARGETS}
status=0
for t in $targets; do
  explore="build-fuzz/explore-$t"
  artifacts="build-fuzz/artifacts-$t"
  mkdir -p "$explore" "$artifacts" "fuzz/corpus/$t"
  echo "-- $t for ${seconds}s"
  if ! ./build-fuzz/fuzz/"$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 \
      -artifact_prefix="$artifacts/" "$explore" "fuzz/corpus/$t" >"build-fuzz/explore-$t.log" 2>&1; then
    status=1
    tail -40 "build-fuzz/explore-$t.log"
    for crash in "$artifacts"/*; do
      [ -f "$crash" ] || continue
      kept="fuzz/corpus/$t/regression-$(sha1sum "$crash" | cut -c1-12)"
      cp "$crash" "$kept"
      echo "kept failing input as $kept"
    done
  else
    echo "$(grep -o 'Done [0-9]* runs' "build-fuzz/explore-$t.log" | tail -1), no failure"
  fi
done
exit $status
