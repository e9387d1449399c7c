#!/bin/sh
# Builds every configuration and runs all tests: native debug, native with
# address and undefined-behaviour sanitizers, native with the thread
# sanitizer, the ORLO brand, the Windows x86 driver and the Windows x64
# build with the installer under Wine, and a short bounded run of every fuzz
# target. Exits non-zero if anything fails.
#   tools/run-tests.sh                  everything
#   tools/run-tests.sh debug windows    only the named presets (and no fuzzing)
#   FUZZ_SECONDS=120 tools/run-tests.sh longer fuzzing
set -e
cd "$(dirname "$0")/.."
sh tools/prerequisites.sh
# windows32 before windows: the installer of the x64 build takes its 32-bit
# driver from the windows32 build.
PRESETS=${*:-"debug asan tsan orlo windows32 windows"}
JOBS=${JOBS:-$(nproc)}
for preset in $PRESETS; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  # Every build is kept free of warnings: a warning fails the run.
  log=build/$preset/build.log
  if ! cmake --build --preset "$preset" -j "$JOBS" >"$log" 2>&1; then
    cat "$log"; echo "=== $preset: build failed"; exit 1
  fi
  if grep -q "warning:" "$log"; then
    grep -B2 -A6 "warning:" "$log"; echo "=== $preset: the build has warnings"; exit 1
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$JOBS" </dev/null
done
if [ $# -eq 0 ]; then
  echo "=== fuzz targets"
  BUILD_DIR=build/fuzz sh fuzz/run-fuzzers.sh "${FUZZ_SECONDS:-30}"
fi
echo "=== all passed: $PRESETS"
