#!/usr/bin/env bash
# Installs what is missing, builds Elutrix and runs the whole test suite:
# first under AddressSanitizer and UndefinedBehaviorSanitizer, then bounded
# libFuzzer runs (clang, same sanitizers) of whole runs against the plain
# loop (ELUTRIX_FUZZ_SECONDS sets its length, 120 by default) and of
# scenario files (ELUTRIX_SCENARIO_FUZZ_SECONDS, 60 by default), then the
# optimised build that users get. Ends with CTest's summary of the latter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

echo "== Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer) =="
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DELUTRIX_SANITIZE=ON -DELUTRIX_BUILD_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ELUTRIX_SANITIZED=1 ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

echo "== Fuzzing whole runs and scenario files (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) =="
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DELUTRIX_FUZZ=ON \
  -DELUTRIX_BUILD_UI=OFF -DELUTRIX_BUILD_TESTS=OFF -DELUTRIX_BUILD_BENCH=OFF
# Only the fuzz targets and the libraries they link are built with clang.
cmake --build build-fuzz -j"$jobs" --target run_fuzzer scenario_fuzzer
# New inputs go to build-fuzz/corpus; the checked-in seeds stay as they are.
# Any finding (a failed check, a sanitizer report, a timeout) ends the script.
mkdir -p build-fuzz/corpus build-fuzz/findings
build-fuzz/fuzz/run_fuzzer -max_total_time="${ELUTRIX_FUZZ_SECONDS:-120}" -timeout=30 -print_final_stats=1 \
  -dict=fuzz/run.dict -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus fuzz/corpus
mkdir -p build-fuzz/scenario-corpus
build-fuzz/fuzz/scenario_fuzzer -max_total_time="${ELUTRIX_SCENARIO_FUZZ_SECONDS:-60}" -timeout=30 \
  -print_final_stats=1 -dict=fuzz/scenario.dict -artifact_prefix=build-fuzz/findings/ \
  build-fuzz/scenario-corpus fuzz/scenario_corpus

echo "== Release build =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
