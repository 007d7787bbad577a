#!/usr/bin/env bash
# tesmor-chrom end to end: a synthetic file shows back its options; unreadable files fail with
# the result code on standard error and status 1.
set -u
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" synth "$dir/a.chr" --channels 3 --samples 500 --peaks 4 --seed 9 \
    --operator "Петров" --place "Цех 2" --numinseria 17 || fail "synth"
out=$("$tool" show "$dir/a.chr") || fail "show"
grep -q "channels: 3" <<<"$out" || fail "channel count: $out"
grep -q "numinseria \[.*\] = 17" <<<"$out" || fail "numinseria: $out"
json=$("$tool" show "$dir/a.chr" --json) || fail "show --json"
python3 - "$json" <<'PY' || fail "json"
import json, sys
d = json.loads(sys.argv[1])
assert len(d["channels"]) == 3, d
assert all(c["samples"] == 500 and len(c["peaks"]) == 4 for c in d["channels"])
props = {p["name"]: p["value"] for p in d["passport"]["properties"]}
assert props == {"operator": "Петров", "place": "Цех 2", "numinseria": "17"}, props
PY

printf 'STX1xxxxxxxxxxxx' > "$dir/bad.chr"
"$tool" show "$dir/bad.chr" 2>"$dir/err"; rc=$?
[ "$rc" -eq 1 ] || fail "bad file: status $rc"
grep -q "code -3" "$dir/err" || fail "bad file: $(cat "$dir/err")"
"$tool" show "$dir/missing.chr" 2>"$dir/err"; rc=$?
[ "$rc" -eq 1 ] && grep -q "code -1" "$dir/err" || fail "missing file: status $rc"
"$tool" synth "$dir/x.chr" --channels 300 2>/dev/null; rc=$?
[ "$rc" -eq 2 ] || fail "bad option: status $rc"
echo "tesmor-chrom: all checks passed"
