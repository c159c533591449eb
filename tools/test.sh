#!/usr/bin/env bash
# Installs what is missing, builds Elutrix twice and runs the whole test suite:
# first under AddressSanitizer and UndefinedBehaviorSanitizer, then the
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

echo "== Release build =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
