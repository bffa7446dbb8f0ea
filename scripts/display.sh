# Sourced by run.sh and test.sh: when no display is set, starts a virtual one (Xvfb) with a tray host
# (trayer) on it, so windows and the tray icon work without a desktop. Both run in sessions of their own,
# so Ctrl+C in the terminal reaches the program alone; they are stopped when the caller exits.
start_virtual_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local n=${CORVANE_DISPLAY_NUMBER:-97}
  while [ -e "/tmp/.X${n}-lock" ]; do n=$((n + 1)); done
  setsid Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  VIRTUAL_DISPLAY_PIDS="$!"
  export DISPLAY=":$n"
  for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  setsid trayer --edge bottom --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
  VIRTUAL_DISPLAY_PIDS="$VIRTUAL_DISPLAY_PIDS $!"
  # The tray host owns the system-tray selection once it is up.
  for _ in $(seq 1 50); do
    xwininfo -root -tree 2>/dev/null | grep -qi trayer && break
    sleep 0.1
  done
  trap 'kill $VIRTUAL_DISPLAY_PIDS 2>/dev/null || true' EXIT
  echo "No display found: started a virtual display $DISPLAY (Xvfb) with a tray host (trayer)."
}
