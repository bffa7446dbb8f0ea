#!/usr/bin/env bash
# Sets up, builds and starts Corvane from the build tree: the protection service (corvaned) on a
# system bus, then the window as the user who called sudo. Run as root: it installs packages and the
# service needs the capability to tear connections down.
#   sudo ./scripts/run.sh [window arguments]
#
# The bus: the machine's system bus when the package's bus policy is installed there and the
# service's user exists; otherwise a private bus of this script's own with the policy from
# packaging/ (DBUS_SYSTEM_BUS_ADDRESS names it for the service and the window). The service keeps
# its state in the build (build/state: the definitions, from data/qd.def at first; the settings
# store below build/service-root), never in /var/lib/corvane.
# It runs as the unit runs it, as the user "corvaned" with the unit's capabilities, when that user
# exists, else as root. Closing the window stops the service (and the private bus).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF >/dev/null
ninja -C build corvaned corvanectl corvane corvane-reg
. scripts/service_unit.sh

service_name=org.corvane.Corvane1
policy_name=$service_name.conf
pids=()
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
}
trap stop_all EXIT

service_user=
getent passwd corvaned >/dev/null && service_user=corvaned

# --- the bus
system_socket=/run/dbus/system_bus_socket
if [ -S "$system_socket" ] && [ -n "$service_user" ] &&
  { [ -f "/usr/share/dbus-1/system.d/$policy_name" ] || [ -f "/etc/dbus-1/system.d/$policy_name" ]; }; then
  bus_address=unix:path=$system_socket
  echo "Using the system bus (the package's policy is installed)."
else
  # A bus configured like the system bus (packaging/dbus/system-bus.conf.in, as the tests' bus) with
  # the package's policy. When the service runs as root (no user "corvaned" here), root may own its
  # name on this bus too.
  mkdir -p build/bus
  rm -f build/bus/system_bus_socket
  root_owns=
  [ -z "$service_user" ] && root_owns="<policy user=\"root\"><allow own=\"$service_name\"/></policy>"
  system_bus_config packaging/dbus/system-bus.conf.in "$root/build/bus/system_bus_socket" \
    "$root/packaging/dbus/$policy_name" "$root_owns" >build/bus/system.conf
  dbus-daemon --config-file=build/bus/system.conf --nofork &
  pids+=($!)
  for _ in $(seq 1 100); do [ -S build/bus/system_bus_socket ] && break; sleep 0.05; done
  [ -S build/bus/system_bus_socket ] || { echo "run.sh: the private bus did not start" >&2; exit 1; }
  bus_address=unix:path=$root/build/bus/system_bus_socket
  echo "Started a private system bus ($bus_address) with packaging/dbus/$policy_name."
fi
export DBUS_SYSTEM_BUS_ADDRESS=$bus_address

# --- the service: from the build, so its state stays in the build too (the definitions in
# build/state, the settings store below CORVANE_ROOT=build/service-root); only an installed service
# runs without CORVANE_ROOT, on /var/lib/corvane.
mkdir -p build/state build/service-root
[ -f build/state/qd.def ] || install -m 0600 data/qd.def build/state/qd.def
service=(env CORVANE_ROOT="$root/build/service-root" DBUS_SYSTEM_BUS_ADDRESS="$bus_address"
  "$root/build/src/corvaned" --state-dir "$root/build/state")
if [ -n "$service_user" ]; then
  # As the unit runs it: its own user, the unit's ambient capabilities and no others, no new privileges.
  caps=$(unit_capabilities packaging/systemd/corvaned.service)
  chown -R "$service_user:$service_user" build/state build/service-root
  chmod 0700 build/state build/service-root
  service=(setpriv --reuid="$service_user" --regid="$service_user" --init-groups
    "--inh-caps=-all,$caps" "--ambient-caps=-all,$caps" "--bounding-set=-all,$caps" --no-new-privs -- "${service[@]}")
  echo "Starting the service as $service_user ($caps), state in build/state."
else
  echo "Starting the service as root (no user corvaned here), state in build/state."
fi
(umask 077 && exec "${service[@]}") &
pids+=($!)
service_pid=$!
ready=0
for _ in $(seq 1 200); do
  if dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$service_name" 2>/dev/null | grep -q 'boolean true'; then
    ready=1
    break
  fi
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.05
done
[ "$ready" = 1 ] || { echo "run.sh: the service did not come up on the bus" >&2; exit 1; }

# --- the window, as the user who called sudo (root when there is none)
. scripts/display.sh
start_virtual_display
# display.sh stops its display at the exit; the service and the bus stop first.
trap 'stop_all; kill ${VIRTUAL_DISPLAY_PIDS:-} 2>/dev/null || true' EXIT
window=("$root/build/src/corvane" "$@")
if [ -n "${SUDO_UID:-}" ] && [ "${SUDO_UID}" != 0 ]; then
  user_name=$(getent passwd "$SUDO_UID" | cut -d: -f1)
  user_home=$(getent passwd "$SUDO_UID" | cut -d: -f6)
  user_environment=(HOME="$user_home" USER="$user_name" LOGNAME="$user_name" PATH=/usr/local/bin:/usr/bin:/bin
    DISPLAY="${DISPLAY:-}" DBUS_SYSTEM_BUS_ADDRESS="$bus_address" LANG="${LANG:-C.UTF-8}")
  [ -n "${XAUTHORITY:-}" ] && user_environment+=(XAUTHORITY="$XAUTHORITY")
  [ -n "${WAYLAND_DISPLAY:-}" ] && user_environment+=(WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  [ -n "${CORVANE_ROOT:-}" ] && user_environment+=(CORVANE_ROOT="$CORVANE_ROOT")
  if [ -d "/run/user/$SUDO_UID" ]; then
    user_environment+=(XDG_RUNTIME_DIR="/run/user/$SUDO_UID")
    [ -S "/run/user/$SUDO_UID/bus" ] && user_environment+=(DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$SUDO_UID/bus")
  fi
  corvane_gid=$(getent group corvane | cut -d: -f3 || true)
  if [ -z "$corvane_gid" ] || ! id -G "$user_name" | tr ' ' '\n' | grep -qx "$corvane_gid"; then
    echo "Note: $user_name is not in the group corvane, so the service refuses the window's requests" \
      "(sudo addgroup --system corvane; sudo adduser $user_name corvane; then log in again)."
  fi
  window=(setpriv --reuid="$SUDO_UID" --regid="${SUDO_GID:-$SUDO_UID}" --init-groups -- env -i "${user_environment[@]}" "${window[@]}")
  echo "Starting the window as $user_name; it starts in the tray unless the \"Tray\" setting is 0."
else
  echo "Starting the window as root; it starts in the tray unless the \"Tray\" setting is 0."
fi
# Ctrl+C or a termination request reaches the window, which closes like its Exit button; the service
# and the bus stop after it.
"${window[@]}" &
program=$!
trap 'kill -TERM "$program" 2>/dev/null' INT TERM
status=0
wait "$program" || status=$?
# A signal interrupts the first wait; the second collects the window's own end.
if kill -0 "$program" 2>/dev/null; then wait "$program" || status=$?; fi
exit "$status"
