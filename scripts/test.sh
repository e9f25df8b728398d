#!/usr/bin/env bash
# Installs the build dependencies, builds with warnings as errors and runs
# every test (the recordings past 4 GiB excepted: ctest -L long runs those).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
cmake -S . -B build -DFLOATREC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build -LE long --output-on-failure -j"$(nproc)"
