#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then builds the threaded
# tests and the libraries they link with ThreadSanitizer and runs them; then
# fuzzes for 20 seconds per target, follows scripts/run.sh and cmake --install
# build in a copy of the sources and, as root, checks the Debian package (and
# installs and removes it unless one is installed already).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The program speaks the language of its environment; the tests that do not
# set one expect its own texts.
export LANG=C.UTF-8
unset LANGUAGE LC_ALL LC_MESSAGES

jobs=$(nproc)
# The presets are in CMakePresets.json: asan builds in build-asan, tsan in build-tsan.
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

# Qt and fontconfig keep caches alive until exit; their leaks are not ours.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
# The kernel tests watch the machine's own connection table, so they run one
# at a time, and one checkout at a time on a shared machine; the rest in parallel.
# Both presets show the output of a failing test and stop each test after 300 s.
ctest --preset asan-fast -j "$jobs"
flock /tmp/kestrova-integration.lock ctest --preset asan-kernel

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/thread_tests --gtest_brief=1

# Every parser of outside input under libFuzzer for a short while.
scripts/fuzz.sh 20
# The README's first steps: scripts/run.sh, then cmake --install build.
scripts/test-run-install.sh
# The Debian package, installed and removed again (as root only).
flock /tmp/kestrova-package.lock scripts/test-package.sh
