#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-serialport-dev libgl1-mesa-dev
  xvfb xauth python3 python3-numpy fonts-ipafont-gothic
  # scripts/screenshot.sh: import and convert
  imagemagick
  # the Debian package's library dependencies (dpkg-shlibdeps) and the
  # check of its systemd unit (systemd-analyze)
  dpkg-dev systemd
  # the collector's databases
  libsqlite3-dev sqlite3 libpq-dev postgresql tzdata
  # varnel-web: its HTTP server (whose CMake package also asks for Qt
  # WebSockets), the chart script it serves, and the browser of its page tests
  qt6-httpserver-dev qt6-websockets-dev libjs-dygraphs chromium
  # the tests of varnel-web over HTTPS: a certificate of their own, and a
  # client with the system's authorities, which must not trust that certificate
  openssl curl ca-certificates
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
