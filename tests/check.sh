#!/usr/bin/env bash
# Builds and passes every test twice: a plain build with warnings as errors,
# then one with AddressSanitizer and UndefinedBehaviorSanitizer, which halt
# at the first fault, and whose line scan starts with SSE2 where the plain
# build starts with AVX2 (the scan test runs both in each). Ends with
# CTest's summary of the sanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DHALVO_WERROR=ON -DHALVO_REQUIRE_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
cmake -S . -B build-sanitize -DHALVO_WERROR=ON -DHALVO_REQUIRE_TESTS=ON -DHALVO_SANITIZE=ON -DHALVO_AVX2=OFF
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
