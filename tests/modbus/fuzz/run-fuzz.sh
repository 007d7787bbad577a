#!/usr/bin/env bash
# Builds the libFuzzer target of the request path (the frame check and libmodbus's reception
# and reply) with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for a
# bounded time on a copy of the seed corpus.
# Usage: run-fuzz.sh SOURCE_DIR WORK_DIR [SECONDS]. Exit 77 (skipped) without clang++.
set -euo pipefail
src=$1
work=$2
seconds=${3:-120}

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
    echo "run-fuzz.sh: clang++ not found; fuzzing skipped (install clang and libclang-rt-14-dev)"
    exit 77
fi

mkdir -p "$work"
# The check's own sources; keep in step with modbus/CMakeLists.txt.
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$src" \
    "$src/tests/modbus/fuzz/fuzz_request.cpp" "$src/modbus/RequestCheck.cpp" \
    $(pkg-config --cflags --libs libmodbus) -o "$work/fuzz_request"

rm -rf "$work/corpus"
cp -r "$src/tests/modbus/fuzz/corpus" "$work/corpus"
exec "$work/fuzz_request" -max_total_time="$seconds" -max_len=600 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus"
