#!/bin/bash
# Runs the built program and measures, in a private network namespace:
#   - the time from a listed connection's connect() to its abort (median, p90);
#   - the program's CPU use over 10 seconds with protection on and 200 idle connections.
# Goals: median under one tick plus one table dump; CPU at most 2% of one core.
#
#   bench/latency_and_cpu.sh [BUILD_DIR]     (default: build; needs root)
#
# BUILD_DIR must hold src/corvane, src/corvane-reg and bench/corvane_connect_probe.
# Without a display a virtual one (Xvfb) with a tray host (trayer) is started.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
for file in src/corvane src/corvane-reg bench/corvane_connect_probe; do
    [ -x "$build/$file" ] || { echo "missing $build/$file (build it first)" >&2; exit 2; }
done
if [ "$(id -u)" != 0 ]; then
    echo "latency_and_cpu: needs root for a private network namespace; skipped" >&2
    exit 0
fi
if [ "${CORVANE_BENCH_NETNS:-}" != 1 ]; then
    exec env CORVANE_BENCH_NETNS=1 unshare -n "$0" "$build"
fi

ip link set lo up

work=$(mktemp -d)
pids=()
cleanup() {
    exec 9>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A program folder of its own: the program and its definitions, and a settings
# store with protection on.
cp "$build/src/corvane" "$work/corvane"
printf 'V100\r\n127.0.0.9\r\n' >"$work/qd.def"
export CORVANE_ROOT="$work/root"
"$build/src/corvane-reg" set 'HKLM\Software\Corvane' Run REG_SZ 1 >/dev/null
"$build/src/corvane-reg" set 'HKLM\Software\Corvane' Tray REG_SZ 1 >/dev/null

if [ -z "${DISPLAY:-}" ]; then
    display=:$((90 + RANDOM % 9))
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=$display
    sleep 1
    if command -v trayer >/dev/null; then
        trayer >/dev/null 2>&1 &
        pids+=($!)
    fi
    echo "note: no display; started Xvfb on $DISPLAY with trayer as the tray host"
fi

"$work/corvane" >"$work/corvane.log" 2>&1 &
corvane=$!
pids+=("$corvane")
sleep 2
kill -0 "$corvane" 2>/dev/null || { echo "corvane did not start:" >&2; cat "$work/corvane.log" >&2; exit 1; }

mkfifo "$work/hold"
"$build/bench/corvane_connect_probe" 127.0.0.9 127.0.0.3 200 200 <"$work/hold" >"$work/probe.out" &
pids+=($!)
exec 9>"$work/hold"
for _ in $(seq 600); do
    grep -q READY "$work/probe.out" && break
    sleep 0.1
done
grep LATENCY "$work/probe.out" || { echo "the probe did not finish" >&2; exit 1; }

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$corvane/stat"; }
sleep 1
before=$(cpu_ticks)
sleep 10
after=$(cpu_ticks)
awk -v used=$((after - before)) -v hz="$ticks_per_second" \
    'BEGIN { pct = 100 * used / hz / 10; printf "CPU corvane over 10 s with protection on and 200 idle connections: %.2f%% of one core (goal <= 2%%: %s)\n", pct, pct <= 2 ? "met" : "MISSED" }'
