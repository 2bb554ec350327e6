#!/usr/bin/env bash
# Installs what Kestrova needs on Debian 12, and only what is missing.
#   scripts/install-deps.sh run    what building and running the program need
#   scripts/install-deps.sh test   that, and everything the tests, fuzzers,
#                                  benchmarks and the package test use (default)
set -euo pipefail

tier=${1:-test}
run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins qt6-wayland
  qt6-tools-dev qt6-l10n-tools
  fonts-ipafont-gothic
  libpcap-dev libcap-dev libcap2-bin libxcb1-dev
  rapidjson-dev
)
test_packages=(
  libgtest-dev libgmock-dev
  xvfb xauth
  iproute2 procps
  clang libclang-rt-dev
  dpkg-dev file desktop-file-utils appstream groff-base lintian
  tcpdump util-linux
  weston xwayland
  systemd python3
  locales
)
case $tier in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: scripts/install-deps.sh [run|test]" >&2
    exit 2
    ;;
esac

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

# The language tests run the program under these locales.
if [[ $tier == test ]]; then
  for locale in en_US ja_JP; do
    locale -a 2>/dev/null | grep -qix "$locale.utf-\?8" && continue
    if [[ $(id -u) -ne 0 ]]; then
      echo "Missing locale: $locale.UTF-8 (run as root, or: sudo localedef -i $locale -f UTF-8 $locale.UTF-8)" >&2
      exit 1
    fi
    echo "Making locale: $locale.UTF-8"
    localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  done
fi
