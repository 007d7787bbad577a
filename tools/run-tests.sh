#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then ./tools/install-deps.sh; else sudo ./tools/install-deps.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure --timeout 300 -j2
