#!/usr/bin/env bash
# Installs, from Debian's registry, every package that building, testing and
# running the station needs and that is missing. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-liberation2
  firebird3.0-server firebird3.0-server-core firebird3.0-utils firebird-dev libfbclient2
  libcups2-dev cups cups-client cups-daemon cups-bsd
  libsimpleini-dev libgtest-dev libgmock-dev file
  xvfb xdotool x11-utils imagemagick fonts-dejavu-core
  python3 procps iproute2
)
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing ${#missing[@]} packages with apt-get (a few minutes on a new machine): ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
