#!/usr/bin/env bash
# Renders every window of the plug-in and the stand-in host's window, in Russian and English,
# to docs/screenshots/ (or the folder given), and checks the dialogs' layout on the way.
# Needs a configured build folder (build/).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshots}"
cmake --build build --target tesmor-screenshots ui_dialog_screenshots tesmorENU
QT_QPA_PLATFORM=offscreen ./build/bin/tesmor-screenshots "$out"
QT_QPA_PLATFORM=offscreen ./build/bin/ui_dialog_screenshots "$out"
