#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for RUNS iterations.
# Usage: scripts/fuzz.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFLOATREC_FUZZ=ON -DFLOATREC_TESTS=OFF \
  -DFLOATREC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_duration fuzz_pipeline
for target in fuzz_duration fuzz_pipeline; do
  echo "fuzzing $target for $runs runs"
  "build-fuzz/tests/fuzz/$target" -runs="$runs" -max_len=4096 -seed=1 2>&1 | tail -n 2
done
