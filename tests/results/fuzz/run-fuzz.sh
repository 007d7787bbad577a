#!/usr/bin/env bash
# Builds the libFuzzer target of the chromatogram reader with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of the seed corpus.
# Usage: run-fuzz.sh SOURCE_DIR WORK_DIR [SECONDS]. Exit 77 (skipped) without clang++.
set -euo pipefail
src=$1
work=$2
seconds=${3:-60}

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
    echo "run-fuzz.sh: clang++ not found; fuzzing skipped (install clang and libclang-rt-14-dev)"
    exit 77
fi

mkdir -p "$work"
# The reader's own sources; keep in step with results/CMakeLists.txt.
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$src" \
    "$src/tests/results/fuzz/fuzz_load.cpp" \
    "$src/results/CVelmarFile4.cpp" "$src/results/Passport.cpp" "$src/results/XmlValues.cpp" \
    "$src/platform/Text.cpp" \
    -lpugixml -o "$work/fuzz_load"

rm -rf "$work/corpus"
cp -r "$src/tests/results/fuzz/corpus" "$work/corpus"
export TMPDIR="$work"
exec "$work/fuzz_load" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" \
    -dict="$src/tests/results/fuzz/chrom.dict" "$work/corpus"
