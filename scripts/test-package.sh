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
for needed in fonts-ipafont-gothic libcap2-bin libqt6widgets6 libc6; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
helper=/usr/libexec/kestrova/kestrova-capture
dpkg -S "$helper" >/dev/null 2>&1 || fail "$helper is not in the package"
getcap "$helper" | grep -q cap_net_raw || fail "the post-install step did not grant $helper cap_net_raw"

# The installed program finds its helper, and packet checking works for an
# ordinary user through the capability the package granted: a --log run as
# nobody with checkPacket on opens loopback's capture and logs no refusal.
config=$(mktemp -d)
chmod 755 "$config"
printf '[1040315]\r\ncheckPacket=1040315\r\n' >"$config/kestrova.INI"
chmod 644 "$config/kestrova.INI"
lines=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$config" \
  timeout -s INT 3 setpriv --reuid=nobody --regid=nogroup --clear-groups kestrova --log --interval 200 || true)
rm -rf "$config"
grep -q "127.0.0.1を通るパケットをチェックします。" <<<"$lines" ||
  fail "as nobody, packet checking did not open loopback's capture: $(grep -c . <<<"$lines") lines, none for 127.0.0.1"
! grep -q "権限がありません" <<<"$lines" || fail "as nobody, packet checking was refused: $(grep 権限 <<<"$lines")"

# The service unit ships valid and hardened, and nothing enables it.
unit=/usr/lib/systemd/system/kestrova-log.service
dpkg -S "$unit" >/dev/null 2>&1 || fail "$unit is not in the package"
systemd-analyze verify --man=no "$unit" || fail "the installed service unit does not verify"
systemd-analyze security --offline=true --threshold=19 "$unit" >/dev/null || fail "the service unit's exposure is above OK"
state=$(systemctl --root=/ is-enabled kestrova-log.service 2>/dev/null || true)
[[ $state == disabled ]] || fail "kestrova-log.service is '$state' after installing, not disabled"
! compgen -G '/etc/systemd/system/*.wants/kestrova-log.service' >/dev/null || fail "kestrova-log.service is wanted somewhere"
# The service may gain no privilege on exec, so its packet checking is
# refused with the permission line, at once and without running the helper.
lines=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME=/nonexistent \
  timeout -s INT 3 setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs \
  kestrova --log --json --check-packet --interval 200 || true)
grep -q '"event":"permission"' <<<"$lines" || fail "with no_new_privs, packet checking was not refused: $lines"
! grep -q '"event":"capture"' <<<"$lines" || fail "with no_new_privs, a capture opened"

DEBIAN_FRONTEND=noninteractive apt purge kestrova
[[ ! -e /usr/bin/kestrova ]] || fail "/usr/bin/kestrova is still there after removal"
echo "package: $(basename "${debs[0]}") installed, ran, removed"
