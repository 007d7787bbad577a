#!/usr/bin/env bash
# Builds the libFuzzer target of the request path (framing, check and reply) with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for a bounded time on a copy of
# the seed corpus.
# Usage: run-fuzz.sh SOURCE_DIR WORK_DIR [SECONDS]. Exit 77 (skipped) without clang++.
set -euo pipefail
src=$1
work=$2
seconds=${3:-120}
. "$src/tests/support/libfuzzer.sh"

# The check's own sources; keep in step with modbus/CMakeLists.txt.
"$FUZZ_CXX" $FUZZ_FLAGS -I"$src" \
    "$src/tests/modbus/fuzz/fuzz_request.cpp" "$src/modbus/RequestCheck.cpp" \
    $(pkg-config --cflags --libs libmodbus) -o "$work/fuzz_request"

fuzz_run "$work/fuzz_request" "$src/tests/modbus/fuzz/corpus" 600
