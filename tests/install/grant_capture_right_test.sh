#!/usr/bin/env bash
# The install step that grants the capture helper its capability, run as
# `cmake --install` runs it, against installs that must be granted and ones
# that must not: a link, a planted file with the build's timestamp, a parent
# others may write, a file of someone else's, a fake setcap first in PATH, no
# group, an ordinary user's install into their own prefix. The commands that
# would grant it are printed only where running them would be safe. As root
# only; it makes a group and a directory of its own.
#   grant_capture_right_test.sh GRANT_SCRIPT BUILT_HELPER
set -euo pipefail
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: granting needs root"
  exit 0
fi
group=kgrant$$
work=$(mktemp -d /tmp/kestrova-grant-XXXXXX)
chmod 755 "$work"
# Copies that an ordinary user can reach, wherever this checkout lies.
install -m 644 "$1" "$work/grant.cmake"
install -m 755 "$2" "$work/built"
script=$work/grant.cmake
built=$work/built
cleanup() {
  groupdel "$group" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
groupadd --system "$group"

grant() {  # DIRECTORY [GROUP] [PATH prefix]
  env PATH="${3:-}$PATH" cmake -DKESTROVA_HELPER_DIR="$1" -DKESTROVA_HELPER_BUILT="$built" \
    -DKESTROVA_CAPTURE_GROUP="${2:-$group}" -P "$script" 2>&1
}
installed() {  # DIRECTORY: a copy of the build's helper in it, as an install leaves it
  mkdir -p -m 755 "$1"
  install -m 755 "$built" "$1/kestrova-capture"
}
failures=0
check() {
  local name=$1
  shift
  if "$@"; then echo "ok: $name"; else
    echo "FAILED: $name"
    failures=$((failures + 1))
  fi
}
capability() { getcap "$1" | sed "s|^$1 ||"; }

installed "$work/good"
out=$(grant "$work/good")
check "a clean install is granted cap_net_raw=p" test "$(capability "$work/good/kestrova-capture")" = "cap_net_raw=p"
check "and given to the group" test "$(stat -c '%U:%G %a' "$work/good/kestrova-capture")" = "root:$group 750"

mkdir -m 755 "$work/link"
install -m 755 "$built" "$work/real"
ln -s "$work/real" "$work/link/kestrova-capture"
out=$(grant "$work/link")
check "a symbolic link is not granted" test -z "$(capability "$work/real")"
check "and no commands are printed for it" test -z "$(grep "setcap cap_net_raw=p" <<<"$out")"

mkdir -m 755 "$work/planted"
install -m 755 /bin/true "$work/planted/kestrova-capture"
touch -r "$built" "$work/planted/kestrova-capture"
out=$(grant "$work/planted")
check "a planted file with the build's timestamp is not granted" \
  test -z "$(capability "$work/planted/kestrova-capture")"
check "nor given to the group" test "$(stat -c '%G %a' "$work/planted/kestrova-capture")" = "root 755"

installed "$work/open/libexec"
chmod 777 "$work/open"
out=$(grant "$work/open/libexec")
check "a helper under a directory others may write is not granted" \
  test -z "$(capability "$work/open/libexec/kestrova-capture")"

installed "$work/theirs"
chown nobody "$work/theirs/kestrova-capture"
out=$(grant "$work/theirs")
check "someone else's file is not granted" test -z "$(capability "$work/theirs/kestrova-capture")"
check "and no commands are printed for it" test -z "$(grep "setcap cap_net_raw=p" <<<"$out")"

mkdir -m 755 "$work/bin"
for tool in setcap id stat chgrp getent; do
  printf '#!/bin/sh\ntouch %s/fake-ran\necho 0\n' "$work" >"$work/bin/$tool"
  chmod 755 "$work/bin/$tool"
done
installed "$work/path"
out=$(grant "$work/path" "$group" "$work/bin:")
check "tools first in PATH never run" test ! -e "$work/fake-ran"
check "the system's setcap grants" test "$(capability "$work/path/kestrova-capture")" = "cap_net_raw=p"

installed "$work/nogroup"
out=$(grant "$work/nogroup" "kgrant-none$$")
check "without the group nothing is granted" test -z "$(capability "$work/nogroup/kestrova-capture")"
check "and the commands name it" grep -q "addgroup --system kgrant-none$$" <<<"$out"

# An ordinary user installs into a prefix of their own: nothing is granted, and
# no command is printed that an administrator might run on the user's file.
mkdir -m 755 "$work/home"
chown nobody "$work/home"
out=$(cd / && runuser -u nobody -- sh -c "mkdir -p '$work/home/libexec' && install -m 755 '$built' '$work/home/libexec/kestrova-capture' &&
  cmake -DKESTROVA_HELPER_DIR='$work/home/libexec' -DKESTROVA_HELPER_BUILT='$built' -DKESTROVA_CAPTURE_GROUP='$group' -P '$script'" 2>&1)
check "a user's own prefix is not granted" grep -q "Not granted" <<<"$out"
check "and no commands are printed for it" test -z "$(grep "setcap cap_net_raw=p" <<<"$out")"

echo "$((15 - failures)) passed, $failures failed"
((failures == 0))
