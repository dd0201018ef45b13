#!/usr/bin/env bash
# Installs the Debian packages that building, testing, fuzzing and running Quillon use:
# the tool chain, Qt 6, OpenSSL, GoogleTest, clang for the fuzz targets and clang-format,
# Xvfb for scripts/screenshot.sh, the window's fonts, and what the Debian packages are made and
# checked with (dpkg-dev, file, lintian, man-db for their manual pages; adduser for installing
# them), Qt WebSockets for the web monitor's tests (a browser's side), Chromium with Selenium
# for its browser test, and the MQTT client library the program publishes with, with the
# mosquitto broker that its MQTT tests start.
# `scripts/setup.sh bench` adds what the benchmark compares Quillon with (ser2net); the tests
# never need it. `scripts/setup.sh package` installs only what making and checking the Debian
# packages needs (scripts/package.sh), so that a fresh machine gets no browser for it.
# Skips what is installed already; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-qpa-plugins libgl-dev
  qt6-websockets-dev
  libgtest-dev
  libssl-dev
  clang libclang-rt-dev clang-format
  xvfb
  fonts-dejavu-core fonts-dejavu-extra
  dpkg-dev file lintian man-db adduser
  chromium chromium-driver python3-selenium
  mosquitto libmosquitto-dev
)

bench_packages=(
  ser2net
)

# The packages' Build-Depends (packaging/debian/control.in) and their checks.
package_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev libssl-dev libmosquitto-dev
  dpkg-dev file lintian man-db adduser
)

case "${1:-}" in
  "") ;;
  bench) packages+=("${bench_packages[@]}") ;;
  package) packages=("${package_packages[@]}") ;;
  *)
    echo "Usage: scripts/setup.sh [bench|package]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
