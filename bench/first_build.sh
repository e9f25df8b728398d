#!/usr/bin/env bash
# The recorder's first build as scripts/run.sh makes it (Release, the core as
# a few translation units, the synthetic device beside it), from nothing, in
# a scratch directory: the CPU time it costs (user + system) and the wall
# time on this machine's cores. Figures only; nothing is asserted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake -S "$root" -B "$scratch" -DFLOATREC_TESTS=OFF -DFLOATREC_TEST_DEVICE=ON -DFLOATREC_UNITY=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
start=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$scratch/cpu" cmake --build "$scratch" -j"$(nproc)" >/dev/null
end=$(date +%s.%N)
read -r user sys <"$scratch/cpu"
awk -v u="$user" -v s="$sys" -v a="$start" -v b="$end" -v n="$(nproc)" 'BEGIN {
  printf "first build of the recorder: %.1f s of CPU (user %.1f, system %.1f), %.1f s on %d cores\n", u + s, u, s, b - a, n }'

