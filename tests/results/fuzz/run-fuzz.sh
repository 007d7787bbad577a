#!/usr/bin/env bash
# Builds the libFuzzer target of the chromatogram reader with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of the seed corpus.
# Usage: run-fuzz.sh SOURCE_DIR WORK_DIR [SECONDS]. Exit 77 (skipped) without clang++.
set -euo pipefail
src=$1
work=$2
seconds=${3:-120}
. "$src/tests/support/libfuzzer.sh"

# The reader's own sources; keep in step with results/CMakeLists.txt.
"$FUZZ_CXX" $FUZZ_FLAGS -I"$src" \
    "$src/tests/results/fuzz/fuzz_load.cpp" \
    "$src/results/CVelmarFile4.cpp" "$src/results/Passport.cpp" "$src/results/XmlValues.cpp" \
    "$src/platform/Text.cpp" \
    -lpugixml -o "$work/fuzz_load"

fuzz_run "$work/fuzz_load" "$src/tests/results/fuzz/corpus" 8192 -dict="$src/tests/results/fuzz/chrom.dict"
