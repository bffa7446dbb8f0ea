#!/usr/bin/env bash
# Builds the Debian package and checks it: its contents and their modes (no capabilities, no set-ID
# bits), lintian without errors, the service's unit (systemd-analyze verify, and its exposure rating
# at most 2.0), a service that links no window system; and, run as root on a machine that may be
# changed (CI), the install itself: the group, the service's user and its private state folder, the
# installed service answering root and a member of the group on the system bus and refusing everyone
# else, an upgrade from the old group-writable layout with links planted in it, and the removal.
#   scripts/package_check.sh [--no-install]
# CORVANE_PACKAGE_BUILD names the build tree (default build-package); CORVANE_PACKAGE_DEB checks a
# package already made from that tree instead of building one.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/service_unit.sh
install_check=1
[ "${1:-}" = "--no-install" ] && install_check=0
build=${CORVANE_PACKAGE_BUILD:-build-package}
jobs=${CORVANE_JOBS:-2}

# A tree of its own is configured without tests; a given tree keeps its options. Packing installs
# only what the package needs, built here, not the whole tree.
options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
[ -f "$build/CMakeCache.txt" ] || options+=(-DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF)
if [ -n "${CORVANE_PACKAGE_DEB:-}" ]; then
  deb=$(realpath "$CORVANE_PACKAGE_DEB")
else
  cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
  ninja -C "$build" -j "$jobs" corvane corvaned corvanectl corvane-reg corvane_package_files >/dev/null
  rm -f "$build"/corvane_*.deb
  (cd "$build" && cpack -G DEB >/dev/null)
  deb=$(realpath "$(ls "$build"/corvane_*.deb)")
fi
echo "package: $deb"

status=0
fail() { echo "FAIL: $*"; status=1; }
scratch=$(mktemp -d)
cleanups=()
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[$i]}" || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

contents=$(dpkg-deb --contents "$deb")
expect() { # mode path (as dpkg-deb lists it, without the leading ".")
  local line
  line=$(echo "$contents" | awk -v p=".$2" '$6 == p || $6 == p"/" {print}')
  [ -n "$line" ] || { fail "missing $2"; return; }
  [ "$(echo "$line" | awk '{print $1}')" = "$1" ] || fail "$2 is $(echo "$line" | awk '{print $1}'), expected $1"
  [ "$(echo "$line" | awk '{print $2}')" = "root/root" ] || fail "$2 is not root's"
}
expect -rwxr-xr-x /opt/corvane/corvane
expect -rwxr-xr-x /usr/sbin/corvaned
expect -rwxr-xr-x /usr/bin/corvanectl
expect -rwxr-xr-x /usr/bin/corvane-reg
expect -rw-r--r-- /lib/systemd/system/corvaned.service
expect -rw-r--r-- /usr/share/dbus-1/system.d/org.corvane.Corvane1.conf
expect -rw-r--r-- /usr/share/corvane/qd.def
expect drwxr-xr-x /etc/corvane/lists.d
expect -rw-r--r-- /etc/corvane/lists.d/README
[ "$(dpkg-deb --info "$deb" conffiles)" = "/etc/corvane/lists.d/README" ] || fail "the lists' README is not a conffile"
expect -rw-r--r-- /usr/share/applications/corvane.desktop
for s in 16 32 48 128; do expect -rw-r--r-- "/usr/share/icons/hicolor/${s}x${s}/apps/corvane.png"; done
expect -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/corvane.svg
for page in docs/man/*.1 docs/man/*.8; do
  [ -f "$page" ] || continue
  name=$(basename "$page")
  expect -rw-r--r-- "/usr/share/man/man${name##*.}/$name.gz"
done
for page in corvane.1 corvane-reg.1; do expect -rw-r--r-- "/usr/share/man/man1/$page.gz"; done
# The window reads no definitions of its own any more: no link beside it.
echo "$contents" | awk '{print $6}' | grep -qx './opt/corvane/qd.def' && fail "the old definitions link is still packed"
# Nothing of the program's is writable for anyone but root, and nothing is set-user-ID or set-group-ID.
if echo "$contents" | awk '$1 !~ /^l/ && (substr($1,6,1) == "w" || substr($1,9,1) == "w")' | grep -q .; then
  fail "group- or world-writable files in the package"
fi
if echo "$contents" | awk 'substr($1,4,1) ~ /[sS]/ || substr($1,7,1) ~ /[sS]/' | grep -q .; then
  fail "set-ID files in the package: $(echo "$contents" | awk 'substr($1,4,1) ~ /[sS]/ || substr($1,7,1) ~ /[sS]/')"
fi
depends=$(dpkg-deb --field "$deb" Depends)
echo "depends: $depends"
for lib in libqt6widgets6 libqt6dbus6 libsqlite3-0 libmnl0 libbpf1 libsystemd0 adduser dbus; do
  echo "$depends" | grep -Eq "(^|[ ,])$lib([ ,(]|$)" || fail "Depends lacks $lib"
done
echo "$depends" | grep -q libcap2-bin && fail "Depends still names libcap2-bin (no capabilities are set any more)"

stage=$scratch/stage
dpkg-deb -x "$deb" "$stage"
# File capabilities are extended attributes the data tarball does not carry; the staged files must
# not have any either (the check after the install repeats this on the installed files).
[ -z "$(getcap -r "$stage" 2>/dev/null)" ] || fail "staged files with capabilities: $(getcap -r "$stage")"

# Every program is built hardened: position-independent, read-only relocations bound at start, the
# stack protector, and (optimised) fortified library calls.
for elf in opt/corvane/corvane usr/sbin/corvaned usr/bin/corvanectl usr/bin/corvane-reg; do
  headers=$(readelf -W --file-header --program-headers --dynamic "$stage/$elf" 2>&1)
  grep -q 'Type:.*DYN' <<<"$headers" || fail "$elf is not position-independent"
  grep -q 'GNU_RELRO' <<<"$headers" || fail "$elf has no read-only relocations"
  grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "$elf binds late (no -z now)"
  symbols=$(readelf -W --dyn-syms "$stage/$elf")
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$elf is built without the stack protector"
  # Fortified calls replace those whose buffer sizes are known when built: a program that calls such
  # functions and has no fortified call at all was built without it.
  if ! grep -Eq '__[a-z_]+_chk@' <<<"$symbols" &&
     grep -Eq ' (v?s?n?printf|v?fprintf|str(n?cpy|n?cat)|read|pread|recv(from)?|realpath|syslog|poll)@' <<<"$symbols"; then
    fail "$elf is built without fortified library calls"
  fi
done
# The service surely calls some that are fortified.
grep -Eq '__[a-z_]+_chk@' <<<"$(readelf -W --dyn-syms "$stage/usr/sbin/corvaned")" || fail "corvaned has no fortified calls"

echo "== the service =="
# No window system in the privileged half.
if ldd "$stage/usr/sbin/corvaned" | grep -E 'libQt6(Gui|Widgets)'; then fail "corvaned links a window system"; fi
unit=$stage/lib/systemd/system/corvaned.service
grep -qx 'ExecStart=/usr/sbin/corvaned' "$unit" || fail "the unit does not start /usr/sbin/corvaned"
# verify checks the unit against the host's systemd; its binary is the staged one (the installed
# path is checked above), the manual pages are looked for after the install.
mkdir "$scratch/unit"
sed "s|^ExecStart=/usr/sbin/corvaned|ExecStart=$stage/usr/sbin/corvaned|" "$unit" >"$scratch/unit/corvaned.service"
systemd-analyze verify --man=no "$scratch/unit/corvaned.service" || fail "systemd-analyze verify"
exposure=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null |
  sed -n 's/.*Overall exposure level for corvaned.service: *\([0-9.]*\).*/\1/p')
echo "exposure: ${exposure:-unknown} (at most 2.0)"
if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  fail "the unit's exposure rating is ${exposure:-unknown}, above 2.0"
fi

echo "== lintian =="
if ! lintian --fail-on error --tag-display-limit 0 "$deb"; then fail "lintian reports errors"; fi

if [ "$install_check" = 1 ] && [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  state=/var/lib/corvane
  program=/opt/corvane/corvane
  # As the service's user: reading the store as root would leave root's journal files in its folder.
  reg_as_service() { setpriv --reuid=corvaned --regid=corvaned --clear-groups -- env -u CORVANE_ROOT corvane-reg "$@"; }
  # A run of an earlier check, or an installed copy, would make every result meaningless.
  if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q 'ok installed'; then apt-get purge -y -qq corvane >/dev/null; fi
  rm -rf "$state"

  # The system bus: the machine's own, else one started here (it reads the installed policy and
  # picks up later changes to it by itself).
  if [ ! -S /run/dbus/system_bus_socket ]; then
    mkdir -p /run/dbus
    dbus-daemon --system --fork --print-pid >"$scratch/bus.pid"
    cleanups+=('kill "$(cat "$scratch/bus.pid")"; rm -f /run/dbus/system_bus_socket /run/dbus/pid')
  fi

  # Starts the installed service as its unit does: its own user, the installed unit's capabilities as
  # ambient ones and no others, no new privileges, a private umask, and (where the build has the
  # tests' sandbox) the installed unit's address families and system-call filter; in a network
  # namespace of its own, so it never tears down the machine's connections. Waits until it owns its
  # name.
  service_pid=
  sandbox=()
  if [ -x "$build/tests/support/corvane-unit-sandbox" ]; then
    sandbox=("$(realpath "$build/tests/support/corvane-unit-sandbox")" --unit /lib/systemd/system/corvaned.service --)
  fi
  start_service() {
    local caps deadline=$((SECONDS + 30))
    caps=$(unit_capabilities /lib/systemd/system/corvaned.service) || { fail "the installed unit's capabilities"; return 1; }
    (umask 077 && exec unshare -n -- setpriv --reuid=corvaned --regid=corvaned --init-groups \
      --inh-caps=-all,$caps --ambient-caps=-all,$caps --bounding-set=-all,$caps --no-new-privs -- \
      "${sandbox[@]}" env -i PATH=/usr/sbin:/usr/bin STATE_DIRECTORY=$state /usr/sbin/corvaned) \
      >"$scratch/corvaned.log" 2>&1 &
    service_pid=$!
    until dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.corvane.Corvane1 2>/dev/null | grep -q 'boolean true'; do
      if ! kill -0 "$service_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
        fail "the installed service did not come up on the bus: $(tail -5 "$scratch/corvaned.log")"
        return 1
      fi
      sleep 0.1
    done
  }
  stop_service() {
    [ -n "$service_pid" ] || return 0
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=
  }
  cleanups+=('stop_service')

  echo "== install =="
  apt-get install -y -qq "$deb" >/dev/null
  getent group corvane >/dev/null || fail "no group corvane"
  IFS=: read -r _ _ uid _ _ home shell < <(getent passwd corvaned) || fail "no user corvaned"
  case "${shell:-}" in */nologin | */false) ;; *) fail "corvaned may log in (shell ${shell:-none})" ;; esac
  [ "${uid:-0}" -gt 0 ] && [ "${uid:-1000}" -lt 1000 ] || fail "corvaned is not a system user (uid ${uid:-none})"
  [ "${home:-}" = /nonexistent ] || fail "corvaned's home is ${home:-none}"
  [ ! -e /nonexistent ] || fail "/nonexistent exists"
  [ "$(stat -c '%a %U %G' $program)" = "755 root root" ] || fail "window mode/owner: $(stat -c '%a %U %G' $program)"
  [ "$(stat -c '%a %U %G' $state)" = "700 corvaned corvaned" ] || fail "state folder: $(stat -c '%a %U %G' $state)"
  [ "$(stat -c '%a %U %F' $state/qd.def)" = "600 corvaned regular file" ] || fail "definitions: $(stat -c '%a %U %F' $state/qd.def)"
  cmp -s $state/qd.def /usr/share/corvane/qd.def || fail "the default definitions were not put in place"
  # Neither capabilities nor set-ID bits on anything the package installed.
  installed=$(dpkg -L corvane | while read -r f; do [ -f "$f" ] && [ ! -L "$f" ] && echo "$f"; done)
  caps=$(echo "$installed" | xargs -r getcap)
  [ -z "$caps" ] || fail "installed files with capabilities: $caps"
  [ -z "$(getcap -r /opt/corvane)" ] || fail "capabilities below /opt/corvane"
  while read -r f; do
    if [ -u "$f" ] || [ -g "$f" ]; then fail "installed set-ID file: $f"; fi
  done <<<"$installed"
  # The installed unit against the installed files; its Documentation= pages too, unless this
  # machine's dpkg leaves manual pages out (minimal images do).
  man_check=yes
  [ -e /usr/share/man/man1/corvane-reg.1.gz ] || { man_check=no; echo "(manual pages are not installed here)"; }
  systemd-analyze verify --man=$man_check /lib/systemd/system/corvaned.service ||
    fail "systemd-analyze verify on the installed unit"

  echo "== the service on the bus =="
  gid=$(getent group corvane | cut -d: -f3)
  if start_service; then
    [ "$(stat -c '%U' $state/hklm.db 2>/dev/null)" = corvaned ] || fail "the store is not the service's"
    [ "$(stat -c '%a' $state/hklm.db 2>/dev/null)" = 600 ] || fail "the store's mode: $(stat -c '%a' $state/hklm.db 2>&1)"
    corvanectl status --json >"$scratch/root.json" || fail "root's status request failed"
    grep -q '"attempts"' "$scratch/root.json" || fail "root's status has no count: $(cat "$scratch/root.json")"
    setpriv --reuid=65534 --regid=65534 --groups="$gid" -- corvanectl status --json >"$scratch/member.json" ||
      fail "a member's status request failed"
    grep -q '"attempts"' "$scratch/member.json" || fail "a member's status has no count: $(cat "$scratch/member.json")"
    rc=0
    setpriv --reuid=65534 --regid=65534 --clear-groups -- corvanectl status --json \
      >"$scratch/outsider.out" 2>"$scratch/outsider.err" || rc=$?
    [ "$rc" = 1 ] || fail "an outsider's status request ended with $rc, not 1"
    grep -q '[[:alpha:]]' "$scratch/outsider.err" || fail "an outsider was refused without a reason"
    grep -q '"attempts"' "$scratch/outsider.out" && fail "an outsider read the count"
    stop_service
  fi
  apt-get purge -y -qq corvane >/dev/null
  [ ! -e $state ] || fail "purge left $state"

  echo "== upgrade from the old layout, with links planted =="
  # The layout of the first package: the folder and its files writable for the group, the window
  # runnable by the group only (a statoverride dpkg applies to the new file as well). A member
  # planted links to files elsewhere, a hard link and a link to nothing.
  getent group corvane >/dev/null || addgroup --quiet --system corvane
  mkdir -p /opt/corvane
  dpkg-statoverride --list $program >/dev/null 2>&1 || dpkg-statoverride --quiet --add root corvane 0750 $program
  mkdir -m 2775 $state
  chown root:corvane $state
  env -u CORVANE_ROOT "$build/src/corvane-reg" set 'HKLM\Software\Corvane' Run REG_SZ 0 >/dev/null
  env -u CORVANE_ROOT "$build/src/corvane-reg" set 'HKLM\Software\Corvane' Attempts REG_DWORD 7 >/dev/null
  # A member's own update server, which must not survive.
  env -u CORVANE_ROOT "$build/src/corvane-reg" set 'HKLM\Software\Corvane' UpdateServer REG_SZ http://127.0.0.1:8999/ >/dev/null
  # The first package's store kept a rollback journal: today's tools leave a write-ahead log beside
  # the store, which goes back into it here.
  sqlite3 $state/hklm.db 'PRAGMA journal_mode=DELETE;' >/dev/null
  rm -f $state/hklm.db-wal $state/hklm.db-shm
  chown root:corvane $state/hklm.db && chmod 0664 $state/hklm.db
  outside=$(mktemp -d /var/tmp/corvane-outside.XXXXXX)
  cleanups+=("rm -rf '$outside'")
  echo "not definitions" >"$outside/definitions" && chown 65534:65534 "$outside/definitions" && chmod 0640 "$outside/definitions"
  echo "not a journal" >"$outside/journal" && chmod 0604 "$outside/journal"
  echo "held" >"$outside/held" && chmod 0644 "$outside/held"
  ln -s "$outside/definitions" $state/qd.def
  ln -s "$outside/journal" $state/hklm.db-wal
  # A sparse store of 1 TiB in place of the shared memory file: taken over it would fill the disk.
  truncate -s 1T $state/hklm.db-shm && chown root:corvane $state/hklm.db-shm && chmod 0664 $state/hklm.db-shm
  ln -s "$outside/missing" $state/hklm.db-wal.missing
  hardlinked=0
  if ln "$outside/held" $state/hklm.db-journal 2>/dev/null; then hardlinked=1; fi
  ln -s "$outside/held" $state/.qd.def.AbC123
  before=$(stat -c '%a %u %g %h' "$outside/definitions" "$outside/journal"; md5sum "$outside"/definitions "$outside"/journal)
  apt-get install -y -qq "$deb" >"$scratch/upgrade.err" 2>&1 || fail "installing over the old layout failed: $(cat "$scratch/upgrade.err")"
  dpkg-query -W -f='${Status}' corvane | grep -q 'install ok installed' || fail "the package is not configured"
  grep -q "hklm.db-shm is larger than" "$scratch/upgrade.err" || fail "the oversized entry was not reported: $(cat "$scratch/upgrade.err")"
  after=$(stat -c '%a %u %g %h' "$outside/definitions" "$outside/journal"; md5sum "$outside"/definitions "$outside"/journal)
  [ "$before" = "$after" ] || fail "a link's target was changed: $before -> $after"
  [ "$(stat -c '%a %u %g %h' "$outside/held")" = "644 0 0 1" ] || fail "the hard-linked file was changed or kept: $(stat -c '%a %u %g %h' "$outside/held")"
  [ "$(stat -c '%a %U %G' $state)" = "700 corvaned corvaned" ] || fail "migrated folder: $(stat -c '%a %U %G' $state)"
  for f in qd.def hklm.db; do
    [ "$(stat -c '%F %a %U %G' $state/$f)" = "regular file 600 corvaned corvaned" ] || fail "migrated $f: $(stat -c '%F %a %U %G' $state/$f)"
  done
  cmp -s $state/qd.def /usr/share/corvane/qd.def || fail "the planted definitions link was not replaced by the defaults"
  for f in hklm.db-journal .qd.def.AbC123 hklm.db-wal.missing; do
    [ ! -e $state/$f ] && [ ! -L $state/$f ] || fail "$f left in the state folder"
  done
  # The store's own log and shared memory may be there again (the settings were reset through it),
  # never the planted link or the 1 TiB file.
  for f in hklm.db-wal hklm.db-shm; do
    [ ! -L $state/$f ] && { [ ! -e $state/$f ] || [ "$(stat -c %s $state/$f)" -lt 1048576 ]; } ||
      fail "$f left in the state folder: $(ls -l $state/$f)"
  done
  [ -z "$(find $state -mindepth 1 ! -user corvaned)" ] || fail "entries not the service's: $(find $state -mindepth 1 ! -user corvaned)"
  [ "$(stat -c '%a %U %G' $program)" = "755 root root" ] || fail "the old statoverride survived: $(stat -c '%a %U %G' $program)"
  dpkg-statoverride --list $program >/dev/null 2>&1 && fail "the statoverride is still registered"
  [ "$(reg_as_service get 'HKLM\Software\Corvane' Run)" = 0 ] || fail "the upgrade lost the switch"
  [ "$(reg_as_service get 'HKLM\Software\Corvane' Attempts)" = 7 ] || fail "the upgrade lost the count"
  ! reg_as_service get 'HKLM\Software\Corvane' UpdateServer >/dev/null 2>&1 ||
    fail "a member's update server survived: $(reg_as_service get 'HKLM\Software\Corvane' UpdateServer)"
  grep -q "only Run and Attempts were kept" "$scratch/upgrade.err" || fail "the reset settings were not said"
  echo "hard link planted: $([ $hardlinked = 1 ] && echo yes || echo "no (another file system)")"
  if start_service; then
    corvanectl status --json >"$scratch/upgraded.json" || fail "status after the upgrade failed"
    grep -Eq '"attempts"[[:space:]]*:[[:space:]]*7[^0-9]' "$scratch/upgraded.json" || fail "the service lost the count: $(cat "$scratch/upgraded.json")"
    grep -Eq '"protection"[[:space:]]*:[[:space:]]*false' "$scratch/upgraded.json" || fail "the service lost the switch: $(cat "$scratch/upgraded.json")"
    stop_service
  fi

  echo "== remove and purge =="
  mkdir -p /etc/xdg/autostart
  printf '[Desktop Entry]\nType=Application\nExec=%s\n' $program >/etc/xdg/autostart/Corvane.desktop
  apt-get remove -y -qq corvane >/dev/null
  [ ! -e /etc/xdg/autostart/Corvane.desktop ] || fail "autostart entry left behind"
  [ -e $state/hklm.db ] || fail "settings removed with the package"
  [ ! -e /lib/systemd/system/corvaned.service ] || fail "unit left behind"
  apt-get purge -y -qq corvane >/dev/null
  [ ! -e $state ] || fail "purge left $state"
  [ -f "$outside/definitions" ] && [ -f "$outside/journal" ] && [ -f "$outside/held" ] ||
    fail "purge removed files outside the state folder"
  getent passwd corvaned >/dev/null || fail "purge removed the service's user"
fi

[ $status = 0 ] && echo "package check: passed" || echo "package check: FAILED"
exit $status
