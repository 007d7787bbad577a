#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; ends with CTest's summary.
#   --quick: the main build's tests only, without the sanitizer rebuilds, the soak, the fuzz runs,
#            the package test and the build without the UI.
# The configurations are those of CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
if [ "$(id -u)" -eq 0 ]; then ./tools/install-deps.sh; else sudo ./tools/install-deps.sh; fi

noui=0
if [ $quick -eq 0 ]; then
  # The core and the shell without Qt, in build-noui/; its result is reported at the end.
  cmake --preset no-ui >/dev/null
  cmake --build --preset no-ui
  ctest --preset no-ui || noui=$?
fi

cmake --preset default >/dev/null
cmake --build --preset default
status=0
if [ $quick -eq 1 ]; then
  ctest --preset quick || status=$?
else
  ctest --preset default || status=$?
fi
if [ $noui -ne 0 ]; then
  echo "run-tests.sh: the build without the UI (build-noui) failed tests; see above" >&2
  [ $status -ne 0 ] || status=$noui
fi
exit $status
