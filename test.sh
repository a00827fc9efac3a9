#!/usr/bin/env bash
# Installs what is missing, builds, fuzzes the store's text rules for a short
# bounded time (scripts/fuzz.sh) and runs every test; CTest's summary is last.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh --tests
scripts/build.sh build -DORV_BUILD_TESTS=ON -DORV_BUILD_BENCH=ON -DORV_BUILD_DEVTOOLS=ON
scripts/fuzz.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
