#!/usr/bin/env bash
# Installs what is missing, builds, fuzzes the store's text rules for a short
# bounded time (scripts/fuzz.sh) and runs every test; CTest's summary is last.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh build
scripts/fuzz.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
