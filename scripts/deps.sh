#!/usr/bin/env bash
# Installs every Debian package Corvane's build, program and tests need. Safe to run again.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi
packages=(
  # build
  cmake ninja-build g++ pkg-config clang-14 libclang-rt-14-dev
  qt6-base-dev qt6-qpa-plugins libsystemd-dev libmnl-dev libsqlite3-dev libxcb-xtest0-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # tests: the service started under its unit's seccomp settings (tests/support's corvane-unit-sandbox)
  libseccomp-dev
  # the event engine's BPF program: compiler, skeleton generator and loader library
  libbpf-dev bpftool
  # running: fonts for captions, a virtual display and a tray host when there is no desktop
  fontconfig fonts-dejavu-core fonts-liberation2 xvfb xauth trayer x11-utils dbus-x11 dbus-daemon
  # tests: network namespaces, other users, process tools
  iproute2 util-linux procps sqlite3 imagemagick libcap2-bin xdotool
  # artwork (rendered at build time) and the package check: the service's unit is checked with
  # systemd-analyze, the installed service runs on a system bus of its own
  librsvg2-bin lintian dpkg-dev systemd dbus adduser
  # benchmarks: the download benchmark's reference client
  curl
  # tests: real clients and peers of every protocol the service refuses, and captures on the wire
  socat netcat-openbsd dnsutils iputils-ping tcpdump
  # tests: an HTTPS server for the transfer component
  openssl
  # tests: a session manager of the end-to-end test's own (XSMP)
  libsm-dev libice-dev
  # Wayland: Qt's Wayland platform (the package recommends it), and a headless compositor with its
  # screenshooter for the end-to-end tests
  qt6-wayland weston
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
