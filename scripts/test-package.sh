#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, checks
# the installed program and files, and removes the package again. Needs root;
# as anyone else it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then
  echo "package test skipped: installing a package needs root" >&2
  exit 0
fi
scripts/install-deps.sh

build=build-deb
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKESTROVA_TESTS=OFF -DKESTROVA_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B package >/dev/null)
debs=("$build"/package/kestrova_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "package: expected one kestrova_*.deb, got: ${debs[*]}" >&2; exit 1; }

# apt's download user must be able to read the file it installs from.
staging=$(mktemp -d)
chmod 755 "$staging"
install -m 644 "${debs[0]}" "$staging/"
apt() { flock /tmp/apt.lock apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@" >/dev/null; }
cleanup() {
  if dpkg -s kestrova >/dev/null 2>&1; then DEBIAN_FRONTEND=noninteractive apt purge kestrova || true; fi
  rm -rf "$staging"
}
trap cleanup EXIT

fail() {
  echo "package: $*" >&2
  exit 1
}
(cd "$staging" && DEBIAN_FRONTEND=noninteractive apt install --no-install-recommends ./kestrova_*.deb)

version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM kestrova --version)
[[ $version == "Kestrova Version 2.00" ]] || fail "installed kestrova --version printed '$version'"
[[ $(command -v kestrova) == /usr/bin/kestrova ]] || fail "kestrova is not /usr/bin/kestrova"
for file in /usr/share/applications/kestrova.desktop /usr/share/icons/hicolor/scalable/apps/kestrova.svg \
  /usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml /usr/share/man/man1/kestrova.1.gz; do
  dpkg -S "$file" >/dev/null 2>&1 || fail "$file is not in the package"
done
desktop-file-validate /usr/share/applications/kestrova.desktop || fail "installed desktop entry is invalid"
appstreamcli validate --no-net /usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml >/dev/null ||
  fail "installed metainfo is invalid"
depends=$(dpkg-query -W -f='${Depends}' kestrova)
for needed in fonts-ipafont-gothic libcap2-bin adduser libqt6widgets6 libc6; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
helper=/usr/libexec/kestrova/kestrova-capture
dpkg -S "$helper" >/dev/null 2>&1 || fail "$helper is not in the package"
[[ $(stat -c '%U:%G %a' "$helper") == "root:kestrova 750" ]] ||
  fail "$helper is $(stat -c '%U:%G %a' "$helper"), not root:kestrova 750"
[[ $(getcap "$helper") == "$helper cap_net_raw=p" ]] ||
  fail "the post-install step did not grant $helper cap_net_raw=p: $(getcap "$helper")"

# The installed program finds its helper. A user outside the group is told
# how to join it; a member checks packets through the capability the package
# granted: a --log run with checkPacket on opens loopback's capture.
config=$(mktemp -d)
chmod 755 "$config"
printf '[1040315]\r\ncheckPacket=1040315\r\n' >"$config/kestrova.INI"
chmod 644 "$config/kestrova.INI"
log_as() {
  (cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$config" \
    runuser -u nobody -g nogroup "$@" -- timeout -s INT 3 kestrova --log --interval 200 || true)
}
outsider=$(log_as)
member=$(log_as -G kestrova)
rm -rf "$config"
grep -q "パケットをチェックできません: kestrovaグループに属していません (sudo usermod -aG kestrova nobody)" <<<"$outsider" ||
  fail "outside the group, no line said how to join it: $outsider"
! grep -q "を通るパケットをチェックします。" <<<"$outsider" || fail "outside the group, a capture opened"
grep -q "127.0.0.1を通るパケットをチェックします。" <<<"$member" ||
  fail "as a member, packet checking did not open loopback's capture: $member"
! grep -q "できません" <<<"$member" || fail "as a member, packet checking was refused: $(grep できません <<<"$member")"

DEBIAN_FRONTEND=noninteractive apt purge kestrova
[[ ! -e /usr/bin/kestrova ]] || fail "/usr/bin/kestrova is still there after removal"
! dpkg-statoverride --list "$helper" >/dev/null || fail "the purge left the helper's owner and mode override"
echo "package: $(basename "${debs[0]}") installed, ran, removed"
