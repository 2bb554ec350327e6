#!/usr/bin/env bash
# Builds the Debian package as the README says, in a copy of this checkout:
# scripts/run.sh, then its build folder configured again for /usr, built, and
# cpack -G DEB there. Checks what the package holds, read from the .deb
# itself: its files, control data, scripts and copyright file, and what its
# post-install step does with a loose mode. Then installs it
# with apt-get as a user would, checks the installed program and removes the
# package again; but when a kestrova package is installed already, it is the
# user's, and the test leaves it alone and stops after the first part. Needs
# root; as anyone else it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then
  echo "package test skipped: installing a package needs root" >&2
  exit 0
fi
scripts/install-deps.sh
# Whatever is installed before the test starts is the user's.
installed_before=$(dpkg-query -W -f='${db:Status-Status}' kestrova 2>/dev/null || true)

scratch=$(mktemp -d)
installed_by_test=false
cleanup() {
  if $installed_by_test && dpkg -s kestrova >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt purge kestrova || true
  fi
  dpkg-statoverride --remove "$scratch/loose/kestrova-capture" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "package: $*" >&2
  exit 1
}

# The sources without any build folder, as a fresh checkout has them; then
# the README's steps. Without a display run.sh builds and says so (status 2).
src=$scratch/src
mkdir "$src"
tar -c --exclude=./.git --exclude=./build --exclude='./build-*' . | tar -x -C "$src"
status=0
(cd "$src" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM scripts/run.sh) >"$scratch/run.log" 2>&1 || status=$?
[[ $status -eq 2 ]] || { tail -n 30 "$scratch/run.log" >&2; fail "scripts/run.sh ended with $status"; }
(cd "$src" && cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr >/dev/null && cmake --build build -j "$(nproc)" >/dev/null &&
  cd build && cpack -G DEB >/dev/null) || fail "the package could not be built as the README says"
debs=("$src"/build/kestrova_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one kestrova_*.deb, got: ${debs[*]}"
deb=${debs[0]}

# What the package holds, unpacked.
files=$scratch/files
dpkg-deb -x "$deb" "$files"
dpkg-deb -e "$deb" "$scratch/control"
[[ $(dpkg-deb -f "$deb" Package) == kestrova ]] || fail "the package is not named kestrova"
[[ $(dpkg-deb -f "$deb" Version) == 2.0 ]] || fail "the package's version is not 2.0"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in fonts-ipafont-gothic libcap2-bin adduser libqt6widgets6 libc6; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[[ $(dpkg-deb -f "$deb" Recommends) == qt6-wayland ]] || fail "the package does not recommend qt6-wayland"
helper=/usr/libexec/kestrova/kestrova-capture
for file in /usr/bin/kestrova "$helper" /usr/share/applications/kestrova.desktop \
  /usr/share/icons/hicolor/scalable/apps/kestrova.svg /usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml \
  /usr/share/man/man1/kestrova.1.gz /usr/share/doc/kestrova/copyright; do
  [[ -f $files$file ]] || fail "$file is not in the package"
done
desktop-file-validate "$files/usr/share/applications/kestrova.desktop" || fail "the desktop entry is invalid"
action=$(sed -n '/^\[Desktop Action ipv6\]/,/^\[/s/^Exec=//p' "$files/usr/share/applications/kestrova.desktop")
[[ $action == "kestrova --ipv6" ]] || fail "the desktop entry's IPv4 + IPv6 action runs '$action'"
appstreamcli validate --no-net "$files/usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml" >/dev/null ||
  fail "the metainfo is invalid"
for script in postinst postrm; do
  [[ -x $scratch/control/$script ]] || fail "the package has no executable $script"
  sh -n "$scratch/control/$script" || fail "the $script is not valid sh"
done
grep -q "helper='$helper'" "$scratch/control/postinst" || fail "the postinst does not grant $helper"
# Everything under /usr, nothing in /usr/local; the unit runs the program
# where the package puts it.
[[ -z $(find "$files" -path '*/usr/local*' -print -quit) ]] || fail "the package ships files under /usr/local"
unit_file=$files/usr/lib/systemd/system/kestrova-log.service
[[ -f $unit_file ]] || fail "the package has no /usr/lib/systemd/system/kestrova-log.service"
grep -qx "ExecStart=/usr/bin/kestrova --log --json --host-names" "$unit_file" ||
  fail "the unit does not run /usr/bin/kestrova: $(grep ExecStart "$unit_file")"
zcat "$files/usr/share/man/man1/kestrova.1.gz" | grep -q "^\.IR /usr/libexec/kestrova/kestrova-capture ," ||
  fail "the manual page does not name the helper where the package puts it"

# The post-install step run on a helper that an administrator's statoverride
# leaves executable by others: it says so, and grants nothing.
loose=$scratch/loose
mkdir -m 755 "$loose"
install -m 755 "$files$helper" "$loose/kestrova-capture"
sed "s|^helper=.*|helper='$loose/kestrova-capture'|" "$scratch/control/postinst" >"$scratch/postinst-loose"
dpkg-statoverride --add root root 0755 "$loose/kestrova-capture"
said=$(sh "$scratch/postinst-loose" configure 2>&1) || fail "the post-install step failed with a loose mode: $said"
dpkg-statoverride --remove "$loose/kestrova-capture"
[[ -z $(getcap "$loose/kestrova-capture") ]] || fail "a helper others may run was granted: $(getcap "$loose/kestrova-capture")"
grep -q "is mode 755" <<<"$said" || fail "the post-install step did not say why it granted nothing: $said"

# Debian's own checks of a package, errors and warnings; a package that CPack
# builds has no Debian changelog.
report=$(lintian --fail-on error,warning --suppress-tags no-changelog "$deb" 2>&1) ||
  fail "lintian finds fault with the package: $report"

# The copyright file: Debian's machine-readable format, MIT (Expat, as Debian
# names it), and the very text of LICENSE.
copyright=$files/usr/share/doc/kestrova/copyright
[[ $(stat -c %a "$copyright") == 644 ]] || fail "the copyright file is not mode 644"
[[ $(head -n 1 "$copyright") == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] ||
  fail "the copyright file is not in the machine-readable format"
for field in "Files: *" "Copyright: 2026 The Kestrova developers" "License: Expat"; do
  grep -qxF "$field" "$copyright" || fail "the copyright file lacks '$field'"
done
diff <(sed -n '/^Permission is hereby granted/,$p' LICENSE) \
  <(sed -n '/^License: Expat$/,/^$/p' "$copyright" | sed '1d; /^$/d; s/^ //; s/^\.$//') >/dev/null ||
  fail "the copyright file's licence text is not the text of LICENSE"

if [[ -n $installed_before && $installed_before != not-installed ]]; then
  echo "package: $(basename "$deb") checked unpacked, not installed: this machine has a kestrova package" \
    "($installed_before), which the test leaves alone"
  exit 0
fi

# apt's download user must be able to read the file it installs from.
staging=$scratch/staging
mkdir "$staging"
chmod 755 "$scratch" "$staging"
install -m 644 "$deb" "$staging/"
apt() { flock /tmp/apt.lock apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@" >/dev/null; }
installed_by_test=true
(cd "$staging" && DEBIAN_FRONTEND=noninteractive apt install --no-install-recommends ./kestrova_*.deb)

version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM kestrova --version)
[[ $version == "Kestrova Version 2.00" ]] || fail "installed kestrova --version printed '$version'"
[[ $(command -v kestrova) == /usr/bin/kestrova ]] || fail "kestrova is not /usr/bin/kestrova"
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
! dpkg-statoverride --list "$helper" >/dev/null || fail "the purge left the helper's owner and mode override"
echo "package: $(basename "$deb") checked unpacked, installed, ran, removed"
