#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# from a seed corpus that the build writes. Exits non-zero when a target
# finds a crash, a sanitizer report or a leak (the reproducer is left in the
# build folder).
#   fuzz/run-fuzzers.sh              every target, 30 s each
#   fuzz/run-fuzzers.sh 120          every target, 120 s each
#   BUILD_DIR=build/x fuzz/run-fuzzers.sh
set -e
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-30}
BUILD_DIR=${BUILD_DIR:-build/fuzz}
JOBS=${JOBS:-2}

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null

# run_fuzzer <fuzz target> [<seed generator>]
run_fuzzer() {
  target=$1
  seeder=$2
  cmake --build "$BUILD_DIR" --target "$target" $seeder -j "$JOBS"
  corpus="$BUILD_DIR/corpus/$target"
  mkdir -p "$corpus" "$BUILD_DIR/artifacts"
  [ -z "$seeder" ] || "$BUILD_DIR/fuzz/$seeder" "$corpus"
  echo "=== fuzzing $target for $SECONDS_PER_TARGET s"
  "$BUILD_DIR/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=4096 -timeout=10 \
    -artifact_prefix="$BUILD_DIR/artifacts/$target-" -print_final_stats=1 "$corpus"
}

run_fuzzer ks_pin_reply_fuzzer ks_fuzz_seeds
run_fuzzer settings_store_fuzzer settings_fuzz_seeds
run_fuzzer bus_file_fuzzer bus_file_seeds
run_fuzzer driver_call_fuzzer driver_call_seeds
echo "=== fuzz targets passed"
