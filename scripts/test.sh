#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build, then the whole
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the concurrency tests and
# the unit tests (whose stems read ahead on background threads) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

echo "== Plain build and tests"
cmake -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVARN_BUILD_TESTS=ON -DQUILVARN_BUILD_BENCHMARKS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 300

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVARN_SANITIZE="address;undefined" -DQUILVARN_BUILD_TESTS=ON -DQUILVARN_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure --timeout 600

echo "== ThreadSanitizer (concurrency and unit tests)"
cmake -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVARN_SANITIZE=thread -DQUILVARN_BUILD_TESTS=ON -DQUILVARN_BUILD_BENCHMARKS=OFF
cmake --build build-tsan -j"$jobs" --target quilvarn_concurrency_tests quilvarn_unit_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan -L "concurrency|unit" --output-on-failure --timeout 600
