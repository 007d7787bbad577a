#!/usr/bin/env bash
# Fails when a C or C++ file of the tree differs from what .clang-format makes of it; with --fix,
# formats them in place. Files of the build folders are not the tree's.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
fi
