#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent: only missing packages are installed. Uses sudo when not root.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libfltk1.3-dev fluid libx11-dev
  libasound2-dev libsndfile1-dev alsa-utils
  xvfb xdotool imagemagick x11-utils fonts-dejavu-core fonts-liberation
  socat iproute2 nftables procps util-linux valgrind usbutils fiu-utils libfiu0
  dpkg-dev man-db file desktop-file-utils
  mingw-w64 wine wine64 libwine nsis
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
