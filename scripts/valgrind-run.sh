#!/usr/bin/env bash
# floatrec under valgrind memcheck with descriptor tracking: one real
# recording from the project's test device (period faults included) and the
# starts that fail (no device, a refused format, the directory's lock held by
# another recording, an unwritable directory). Each must end with no memory
# error, no leak and no descriptor open beyond standard input, output and error.
# Usage: scripts/valgrind-run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
box=$(mktemp -d)
trap 'kill $holder 2>/dev/null || true; rm -rf "$box"' EXIT
holder=
program=$build/floatrec
mkdir "$box/home" "$box/work"

device() {
  cat >"$box/home/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.!default { type floatrectest $1 }
RC
}

# Runs floatrec in DIR with the given status expected; prints the checks.
check() {
  local name=$1 dir=$2 want=$3 status=0
  local as=("${@:4}")
  (cd "$dir" && HOME=$box/home "${as[@]}" valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --track-fds=yes "$program" 1 >"$box/out.txt" 2>"$box/err.txt") || status=$?
  if [ "$status" -ne "$want" ]; then
    echo "$name: status $status, expected $want" >&2; cat "$box/err.txt" >&2; exit 1
  fi
  # Descriptors valgrind lists at exit, less those floatrec was started with.
  local open
  open=$(awk '/Open (file|AF_UNIX socket) descriptor/ { held = $0; next }
              held != "" { if ($0 !~ /inherited from parent/) print held; held = "" }' "$box/err.txt")
  if [ -n "$open" ]; then
    echo "$name: descriptors left open:" >&2; echo "$open" >&2; exit 1
  fi
  echo "$name: $(grep 'ERROR SUMMARY' "$box/err.txt" | sed 's/^==[0-9]*== //')"
}

device "rate 48000 period 4800 overrun_at 3 error_at 5 suspend_at 7"
check "recording with faults" "$box/work" 0
grep -q 'THE END' "$box/out.txt"

device "s16_only true"
check "refused format" "$box/work" 1

echo 'pcm.!default { type hw card 97 }' >"$box/home/.asoundrc"
check "missing device" "$box/work" 1

device "period 4800 paced true"
mkdir "$box/locked"
(cd "$box/locked" && HOME=$box/home exec "$build/floatrec" 30 >/dev/null 2>&1) &
holder=$!
for _ in $(seq 100); do grep -q FLOCK /proc/locks && [ -s "$box/locked/00000.raw" ] && break; sleep 0.05; done
check "lock held" "$box/locked" 1
kill "$holder"; wait "$holder" 2>/dev/null || true; holder=

# Root writes anywhere: as root, the run is another user's, with a copy of
# floatrec it can reach wherever the build lies.
mkdir "$box/readonly" && chmod 0555 "$box/readonly"
echo 'pcm.!default { type hw card 97 }' >"$box/home/.asoundrc"
as=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 0755 "$box" "$box/home"
  install -m 0755 "$build/floatrec" "$box/floatrec"
  program=$box/floatrec
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
check "unwritable directory" "$box/readonly" 1 "${as[@]}"
