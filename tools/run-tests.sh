#!/bin/sh
# Builds every configuration and runs all tests: native debug, native with
# address and undefined-behaviour sanitizers, the ORLO brand, and the Windows
# x64 build under Wine. Exits non-zero if any build or test fails.
#   tools/run-tests.sh            everything
#   tools/run-tests.sh debug      only the named presets
set -e
cd "$(dirname "$0")/.."
sh tools/prerequisites.sh
PRESETS=${*:-"debug asan orlo windows"}
JOBS=${JOBS:-$(nproc)}
for preset in $PRESETS; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$JOBS"
done
echo "=== all presets passed: $PRESETS"
