#!/usr/bin/env bash
# Sets up, builds and starts Corvane. Run as root (installs packages; teardown of connections and the
# machine-wide settings need root, see README).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF >/dev/null
ninja -C build corvane corvane-reg
# The definitions live beside the executable; start with the shipped ones unless some are there already.
[ -f build/src/qd.def ] || cp data/qd.def build/src/qd.def
. scripts/display.sh
start_virtual_display
echo "Starting Corvane (build/src/corvane); its window starts in the tray unless the \"Tray\" setting is 0."
# Ctrl+C or a termination request reaches the program, which closes like its Exit button (saving the
# count); the virtual display, if any, goes only after it.
build/src/corvane "$@" &
program=$!
trap 'kill -TERM "$program" 2>/dev/null' INT TERM
status=0
wait "$program" || status=$?
# A signal interrupts the first wait; the second collects the program's own end.
if kill -0 "$program" 2>/dev/null; then wait "$program" || status=$?; fi
exit "$status"
