#!/usr/bin/env bash
# Fuzzes the driver list handling for SECONDS (default 600) with libFuzzer,
# starting from the kept corpus (fuzz/corpus: seeds; fuzz/found: inputs
# earlier runs found, merged); new inputs gather in build-fuzz/corpus and
# a failing input is written as build-fuzz/crash-*: copy it to
# fuzz/regressions/ so that every test run replays it.
# Needs clang++ with libFuzzer (Debian: clang, libclang-rt-14-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
CXX=clang++ cmake -S . -B build-fuzz -DHALVO_FUZZ=ON -DHALVO_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_driverlist
mkdir -p build-fuzz/corpus
build-fuzz/fuzz_driverlist -max_total_time="$seconds" -max_len=70000 \
  -dict=fuzz/driverlist.dict -artifact_prefix=build-fuzz/ -print_final_stats=1 \
  build-fuzz/corpus fuzz/corpus fuzz/found fuzz/regressions
