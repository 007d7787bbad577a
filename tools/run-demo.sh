#!/usr/bin/env bash
# Installs what is missing, builds, and runs the stand-in host with the plug-in loaded.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then ./tools/install-deps.sh; else sudo ./tools/install-deps.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target tesmor tesmorENU tesmor-host
exec ./build/bin/tesmor-host --demo demo "$@"
