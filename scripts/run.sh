#!/usr/bin/env bash
# Installs what is missing, builds Kestrova and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF -DKESTROVA_BENCH=OFF >/dev/null
cmake --build build --target kestrova
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
  cat >&2 <<'MSG'
Kestrova is built (build/kestrova) but there is no display to show its window on:
neither DISPLAY nor WAYLAND_DISPLAY is set. Start it from a desktop session, or on a
virtual display:   xvfb-run -a build/kestrova
or without a window, in this terminal:   build/kestrova --log
MSG
  exit 2
fi
exec build/kestrova
