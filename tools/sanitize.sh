#!/usr/bin/env bash
# Builds the project with sanitizers in a tree of its own and runs the tests that exercise the
# core and the shell there: `asan` (AddressSanitizer + UndefinedBehaviorSanitizer) or `tsan`
# (ThreadSanitizer). Usage: tools/sanitize.sh asan|tsan [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?asan or tsan}
build=${2:-build-$kind}
case "$kind" in
  asan) sanitize=address,undefined; labels='modbus|results|publish|shell|ui' ;;
  # Qt is not built for ThreadSanitizer: the dialogs stay out of this run.
  tsan) sanitize=thread; labels='modbus|results|publish|shell' ;;
  *) echo "usage: $0 asan|tsan [build-dir]" >&2; exit 2 ;;
esac
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESMOR_SANITIZE=$sanitize \
  -DTESMOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -L "$labels" -j2 --timeout 600
