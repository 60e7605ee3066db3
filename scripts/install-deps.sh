#!/usr/bin/env bash
# Installs, from Debian's registry, every package that building, testing and
# running the station needs and that is missing. Safe to run again.
# Extra package names may be given as arguments. Exit status 3: apt-get failed
# twice (the registry or the network, or a package name that does not exist).
# System services that the packages bring (Firebird, CUPS) are neither started
# nor left enabled: the scripts run private ones of their own.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config file
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev libxcb1-dev fonts-liberation2
  firebird3.0-server firebird3.0-server-core firebird3.0-utils firebird-dev libfbclient2
  libcups2-dev cups cups-client cups-daemon cups-bsd
  libsimpleini-dev libgtest-dev libgmock-dev libsqlite3-dev
  xvfb xdotool x11-utils openbox imagemagick fonts-dejavu-core
  python3 procps iproute2 iptables lintian
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
services=(firebird3.0.service cups.service cups.socket cups.path)
systemd_runs() { [ -d /run/systemd/system ] && command -v systemctl >/dev/null; }

# What the system had enabled before, so that only what the install enabled is undone.
declare -A was_enabled=() was_active=()
if systemd_runs; then
  for s in "${services[@]}"; do
    systemctl is-enabled --quiet "$s" 2>/dev/null && was_enabled[$s]=1 || true
    systemctl is-active --quiet "$s" 2>/dev/null && was_active[$s]=1 || true
  done
fi

# policy-rc.d keeps maintainer scripts from starting services during the install.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# controllo-colli install-deps: no service starts during the install\nexit 101\n' |
    $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  own_policy=1
fi
restore_policy() { [ -n "$own_policy" ] && $SUDO rm -f "$policy"; return 0; }
trap restore_policy EXIT

twice() { "$@" || { echo "install-deps: retrying once: $*" >&2; sleep 10; "$@"; }; }

echo "Installing ${#missing[@]} packages with apt-get (a few minutes on a new machine): ${missing[*]}"
if ! twice $SUDO apt-get update -qq; then
  echo "install-deps: apt-get update failed twice: the package registry cannot be reached" >&2
  exit 3
fi
if ! DEBIAN_FRONTEND=noninteractive twice $SUDO apt-get install -y --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${missing[@]}"; then
  echo "install-deps: apt-get install failed twice: registry or network trouble, or a wrong package name" >&2
  exit 3
fi

if systemd_runs; then
  for s in "${services[@]}"; do
    if [ -z "${was_enabled[$s]:-}" ] && systemctl is-enabled --quiet "$s" 2>/dev/null; then
      echo "install-deps: disabling $s, which the install enabled (the scripts use private servers)"
      $SUDO systemctl disable --quiet "$s" || true
    fi
    if [ -z "${was_active[$s]:-}" ] && systemctl is-active --quiet "$s" 2>/dev/null; then
      $SUDO systemctl stop "$s" || true
    fi
  done
fi
