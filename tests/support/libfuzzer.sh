# Sourced by the fuzz runners: the compiler and the bounded run they share.
# A runner sets src, work and seconds, compiles with "$FUZZ_CXX" $FUZZ_FLAGS ..., then calls
# fuzz_run BINARY CORPUS MAX_LEN [more libFuzzer options].

FUZZ_CXX=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$FUZZ_CXX" ]; then
    echo "clang++ not found; fuzzing skipped (install clang and libclang-rt-14-dev)"
    exit 77
fi
FUZZ_FLAGS="-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
mkdir -p "$work"

# Runs on a copy of the corpus, so the committed seeds stay as they are.
fuzz_run() {
    local binary=$1 corpus=$2 max_len=$3
    shift 3
    rm -rf "$work/corpus"
    cp -r "$corpus" "$work/corpus"
    export TMPDIR="$work"
    exec "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus"
}
