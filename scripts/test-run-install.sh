#!/usr/bin/env bash
# Follows the README as a newcomer would: scripts/run.sh, then
# `cmake --install build`, in a copy of this checkout and into a folder of its
# own, and checks that the install is whole and stays in that folder; as root,
# also as an ordinary user into a folder of their own. Then checks what the
# README says about that build folder: its cache keeps the tests and
# benchmarks off until they are turned on (configured only, not built).
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d /tmp/kestrova-run-install.XXXXXX)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "run-install: $*" >&2
  exit 1
}

# The sources without any build folder, as a fresh checkout has them.
src=$scratch/src
mkdir "$src"
tar -c --exclude=./.git --exclude=./build --exclude='./build-*' . | tar -x -C "$src"

# Without a display run.sh builds the program and says how to start it.
status=0
(cd "$src" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM scripts/run.sh) >"$scratch/run.log" 2>&1 || status=$?
if [[ $status -ne 2 ]] || ! grep -q "Kestrova is built (build/kestrova)" "$scratch/run.log"; then
  tail -n 30 "$scratch/run.log" >&2
  fail "scripts/run.sh ended with $status, not with the program built and no display to show it on"
fi

prefix=$scratch/prefix
(cd "$src" && cmake --install build --prefix "$prefix") >"$scratch/install.log" 2>&1 || {
  tail -n 30 "$scratch/install.log" >&2
  fail "cmake --install build failed after scripts/run.sh"
}
for file in bin/kestrova libexec/kestrova/kestrova-capture share/applications/kestrova.desktop \
  share/icons/hicolor/scalable/apps/kestrova.svg share/metainfo/org.kestrova.Kestrova.metainfo.xml \
  share/man/man1/kestrova.1.gz share/doc/kestrova/copyright; do
  [[ -f $prefix/$file ]] || fail "cmake --install build after scripts/run.sh did not install $file"
done
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/kestrova" --version)
[[ $version == "Kestrova Version 2.00" ]] || fail "the installed kestrova --version printed '$version'"

# Everything it installed lies in the prefix, and what names installed paths
# names them there.
outside=$(grep -v "^$prefix/" "$src/build/install_manifest.txt" || true)
[[ -z $outside ]] || fail "cmake --install build --prefix $prefix installed outside it: $outside"
unit=$prefix/lib/systemd/system/kestrova-log.service
grep -qx "ExecStart=$prefix/bin/kestrova --log --json --host-names" "$unit" ||
  fail "the installed unit does not run $prefix/bin/kestrova: $(grep ExecStart "$unit" || echo "no $unit")"
zcat "$prefix/share/man/man1/kestrova.1.gz" | grep -q "^\.IR $prefix/libexec/kestrova/kestrova-capture ," ||
  fail "the installed manual page does not name $prefix/libexec/kestrova/kestrova-capture"

# An ordinary user who built it installs into a folder of their own: all of
# it lands there, and nothing is granted or offered to be granted.
if [[ $(id -u) -eq 0 ]]; then
  user_prefix=$scratch/user-prefix
  mkdir "$user_prefix"
  chown -R nobody "$user_prefix" "$src/build"
  (cd / && runuser -u nobody -- cmake --install "$src/build" --prefix "$user_prefix") >"$scratch/user.log" 2>&1 || {
    tail -n 30 "$scratch/user.log" >&2
    fail "an ordinary user's cmake --install build --prefix into their own folder failed"
  }
  chown -R root "$src/build"
  grep -qx "ExecStart=$user_prefix/bin/kestrova --log --json --host-names" \
    "$user_prefix/lib/systemd/system/kestrova-log.service" || fail "the user's install has no unit of its own"
  grep -q "Not granted" "$scratch/user.log" || fail "the user's install did not say that nothing was granted"
  ! grep -q "setcap cap_net_raw=p" "$scratch/user.log" ||
    fail "the user's install printed commands that would grant the user's own file: $(cat "$scratch/user.log")"
fi

targets() { cmake --build "$src/build" --target help; }
! targets | grep -qE '^(unit_tests|bench_refresh):' || fail "the build folder of scripts/run.sh has the tests on"
(cd "$src" && cmake -S . -B build -DKESTROVA_TESTS=ON -DKESTROVA_BENCH=ON) >"$scratch/configure.log" 2>&1 || {
  tail -n 30 "$scratch/configure.log" >&2
  fail "turning the tests and benchmarks on in the build folder of scripts/run.sh failed"
}
for target in unit_tests ui_tests bench_refresh; do
  targets | grep -q "^$target:" || fail "with the tests and benchmarks on, the build folder has no $target"
done
echo "run-install: scripts/run.sh, then cmake --install build: the program, its helper, desktop entry, icon," \
  "metadata, manual page and copyright file installed"
