#!/usr/bin/env bash
# Builds the Debian package and checks it: its contents and their modes (dpkg-deb --contents), lintian
# without errors, and, run as root on a machine that may be changed (CI), the install itself: the group,
# the program's mode and capabilities, a user outside the group unable to run it, and the removal taking
# the grant and the autostart entry away while the settings stay.
#   scripts/package_check.sh [--no-install]
set -euo pipefail
cd "$(dirname "$0")/.."
install_check=1
[ "${1:-}" = "--no-install" ] && install_check=0
build=${CORVANE_PACKAGE_BUILD:-build-package}
jobs=${CORVANE_JOBS:-2}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF >/dev/null
ninja -C "$build" -j "$jobs" corvane corvane-reg corvane_package_files >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/corvane_*.deb | head -1)
echo "package: $deb"

status=0
fail() { echo "FAIL: $*"; status=1; }

contents=$(dpkg-deb --contents "$deb")
expect() { # mode path (as dpkg-deb lists it, without the leading ".")
  local line
  line=$(echo "$contents" | awk -v p=".$2" '$6 == p || $6 == p"/" {print}')
  [ -n "$line" ] || { fail "missing $2"; return; }
  [ "$(echo "$line" | awk '{print $1}')" = "$1" ] || fail "$2 is $(echo "$line" | awk '{print $1}'), expected $1"
  [ "$(echo "$line" | awk '{print $2}')" = "root/root" ] || fail "$2 is not root's"
}
expect -rwxr-x--- /opt/corvane/corvane
expect lrwxrwxrwx /opt/corvane/qd.def
expect -rwxr-xr-x /usr/bin/corvane-reg
expect -rw-r--r-- /usr/share/corvane/qd.def
expect -rw-r--r-- /usr/share/applications/corvane.desktop
for s in 16 32 48 128; do expect -rw-r--r-- "/usr/share/icons/hicolor/${s}x${s}/apps/corvane.png"; done
expect -rw-r--r-- /usr/share/icons/hicolor/scalable/apps/corvane.svg
expect -rw-r--r-- /usr/share/man/man1/corvane.1.gz
expect -rw-r--r-- /usr/share/man/man1/corvane-reg.1.gz
# Nothing of the program's is writable for anyone but root.
if echo "$contents" | awk '$1 !~ /^l/ && (substr($1,6,1) == "w" || substr($1,9,1) == "w")' | grep -q .; then
  fail "group- or world-writable files in the package"
fi
depends=$(dpkg-deb --field "$deb" Depends)
echo "depends: $depends"
for lib in libqt6widgets6 libsqlite3-0 libmnl0 libcap2-bin adduser; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib"
done

echo "== lintian =="
if ! lintian --fail-on error --tag-display-limit 0 "$deb"; then fail "lintian reports errors"; fi

if [ "$install_check" = 1 ] && [ "$(id -u)" = 0 ]; then
  echo "== install =="
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "./$deb" >/dev/null
  program=/opt/corvane/corvane
  [ "$(stat -c '%a %U %G' $program)" = "750 root corvane" ] || fail "program mode/owner: $(stat -c '%a %U %G' $program)"
  caps=$(getcap $program)
  for c in cap_net_admin cap_bpf cap_perfmon; do echo "$caps" | grep -q "$c" || fail "capability $c missing: $caps"; done
  [ "$(stat -c '%a %G' /var/lib/corvane)" = "2775 corvane" ] || fail "state folder: $(stat -c '%a %G' /var/lib/corvane)"
  [ "$(stat -c '%a %G' /var/lib/corvane/qd.def)" = "664 corvane" ] || fail "definitions: $(stat -c '%a %G' /var/lib/corvane/qd.def)"
  [ "$(stat -c '%a %G' /var/lib/corvane/hklm.db)" = "664 corvane" ] || fail "settings store rights"
  [ "$(readlink /opt/corvane/qd.def)" = /var/lib/corvane/qd.def ] || fail "definitions link"
  # A user outside the group can neither run the program nor change the settings; a member can run it.
  # (The kernel's own answer to "may this user run it", asked without running it.)
  gid=$(getent group corvane | cut -d: -f3)
  if setpriv --reuid=65534 --regid=65534 --clear-groups test -x $program; then fail "nobody may run the program"; fi
  setpriv --reuid=65534 --regid=65534 --groups="$gid" test -x $program || fail "a group member may not run the program"
  if setpriv --reuid=65534 --regid=65534 --clear-groups corvane-reg set 'HKLM\Software\Corvane' Attempts REG_SZ 99 2>/dev/null; then
    fail "nobody changed the settings"
  fi
  # A member of the group can change them.
  setpriv --reuid=65534 --regid=65534 --groups="$gid" corvane-reg set 'HKLM\Software\Corvane' Attempts REG_SZ 7 ||
    fail "a group member could not write the settings"
  # An upgrade (the same package again) keeps the user's choices.
  corvane-reg set 'HKLM\Software\Corvane' Run REG_SZ 0
  apt-get install -y -qq --reinstall "./$deb" >/dev/null
  [ "$(corvane-reg get 'HKLM\Software\Corvane' Run)" = 0 ] || fail "reinstalling reset the switch"
  [ "$(corvane-reg get 'HKLM\Software\Corvane' Attempts)" = 7 ] || fail "reinstalling reset the count"
  [ "$(stat -c '%a %G' $program)" = "750 corvane" ] || fail "reinstalling lost the program's mode"
  getcap $program | grep -q cap_net_admin || fail "reinstalling lost the capabilities"
  mkdir -p /etc/xdg/autostart
  printf '[Desktop Entry]\nType=Application\nExec=%s\n' $program >/etc/xdg/autostart/Corvane.desktop
  echo "== remove =="
  apt-get remove -y -qq corvane >/dev/null
  [ ! -e /etc/xdg/autostart/Corvane.desktop ] || fail "autostart entry left behind"
  dpkg-statoverride --list $program >/dev/null 2>&1 && fail "the group's grant (statoverride) left behind"
  [ -e /var/lib/corvane/hklm.db ] || fail "settings removed with the package"
  apt-get purge -y -qq corvane >/dev/null
fi

[ $status = 0 ] && echo "package check: passed" || echo "package check: FAILED"
exit $status
