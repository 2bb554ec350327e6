#!/usr/bin/env bash
# Installs what building, running and testing Kestrova needs on Debian 12.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev
  fonts-ipafont-gothic
  xvfb xauth
  iproute2 procps
  clang libclang-rt-dev
  dpkg-dev file desktop-file-utils appstream groff-base
  libpcap-dev libcap-dev tcpdump libcap2-bin util-linux
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]} (run as root, or install them with sudo apt-get install)" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
