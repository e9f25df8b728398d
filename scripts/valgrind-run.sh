#!/usr/bin/env bash
# One real recording under valgrind memcheck, from the project's test device
# (period faults included), which must end with no memory error.
# Usage: scripts/valgrind-run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
box=$(mktemp -d)
trap 'rm -rf "$box"' EXIT
mkdir "$box/home" "$box/work"
cat >"$box/home/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.!default { type floatrectest rate 48000 period 4800 overrun_at 3 error_at 5 suspend_at 7 }
RC
cd "$box/work"
HOME=$box/home valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
  "$build/floatrec" 2 >"$box/out.txt" 2>"$box/err.txt" || { cat "$box/err.txt"; exit 1; }
grep -q 'THE END' "$box/out.txt"
grep 'ERROR SUMMARY' "$box/err.txt"
