#!/usr/bin/env bash
# Installs what is missing, builds, makes a small demo contact book beside the
# program when there is none, and starts Orvane.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
# Only the program and orvane-db: no tests, benchmarks or developer tools.
scripts/build.sh build -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF -DORV_BUILD_DEVTOOLS=OFF
if [ ! -e build/orv.mdb ]; then
    build/orvane-db demo build/orv.mdb 200
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No hay pantalla: Orvane se inicia dentro de Xvfb." >&2
    exec xvfb-run -a build/orvane
fi
exec build/orvane
