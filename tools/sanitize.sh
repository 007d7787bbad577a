#!/usr/bin/env bash
# Builds the project with sanitizers in a tree of its own and runs the tests that exercise the
# core and the shell there: `asan` (AddressSanitizer + UndefinedBehaviorSanitizer) or `tsan`
# (ThreadSanitizer), the presets of CMakePresets.json. Usage: tools/sanitize.sh asan|tsan [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?asan or tsan}
case "$kind" in
  asan|tsan) ;;
  *) echo "usage: $0 asan|tsan [build-dir]" >&2; exit 2 ;;
esac
build=${2:-build-$kind}
cmake --preset "$kind" -B "$build" >/dev/null
cmake --build "$build"
ctest --preset "$kind" --test-dir "$build"
