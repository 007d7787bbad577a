#!/usr/bin/env bash
# One bounded libFuzzer run, on a copy of the seed corpus so that the committed seeds stay as they are.
# Usage: run-fuzzer.sh FUZZER CORPUS WORK_DIR SECONDS [libFuzzer options]
# TESMOR_FUZZ_SECONDS, when set, replaces SECONDS.
set -euo pipefail
fuzzer=$1 corpus=$2 work=$3 seconds=${TESMOR_FUZZ_SECONDS:-$4}
shift 4
rm -rf "$work/corpus"
mkdir -p "$work"
cp -r "$corpus" "$work/corpus"
export TMPDIR="$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$@" "$work/corpus"
