# Sourced by the benchmark scripts: installs what they need, builds the
# Release binaries with the benchmarks into build-bench, and names them.
# Sets: root, build, floatrec, floor, device_lib; defines device HOME OPTIONS,
# which points HOME's "default" at the project's test device, and median,
# the median of the numbers on standard input.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
"$root/scripts/install-deps.sh" all
cmake -S "$root" -B "$build" -DFLOATREC_BENCH=ON -DFLOATREC_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
floatrec=$build/floatrec
floor=$build/bench/floor_recorder
device_lib=$build/tests/libasound_module_pcm_floatrectest.so

device() { # HOME OPTIONS
  printf 'pcm_type.floatrectest { lib "%s" }\npcm.!default { type floatrectest %s }\n' "$device_lib" "$2" >"$1/.asoundrc"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
