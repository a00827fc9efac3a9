#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; prints CTest's summary.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh build
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
