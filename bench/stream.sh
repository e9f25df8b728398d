#!/usr/bin/env bash
# The take as a stream (-o -) against the same take to disk: 120 s of
# 48 kHz stereo from the project's test device, unpaced, the stream read by
# cat into a file. Prints, medians of RUNS runs (3 unless set), interleaved:
#   - CPU (user + system) per second of audio, and the ratio (goal: the
#     stream at most 1.1x the take to disk);
#   - a reader that does not read for 5 s (paced, 1,024-frame periods x 16,
#     10 s): the audio the summary says was lost (goal: none; the queue
#     holds it) and the stream's bytes against the summary's kept seconds.
# Usage: bench/stream.sh
set -euo pipefail
runs=${RUNS:-3}
source "$(dirname "$0")/build.sh"

work=$build/stream-run
rm -rf "$work"
mkdir -p "$work"/{home,pacedhome,rec}
device "$work/home" "rate 48000 channels 2 period 1024"
device "$work/pacedhome" "rate 48000 channels 2 period 1024 periods 16 paced true"

# One run of floatrec -c 2 ARGS... (HOME's device) in rec/, standard output
# into out.wav; prints its CPU in seconds.
cpu_of() {
  local home=$1
  shift
  rm -rf "${work:?}"/rec/* "$work"/rec/.[!.]* 2>/dev/null || true
  sync
  (cd "$work/rec" && HOME=$home /usr/bin/time -f '%U %S' -o "$work/time.txt" "$floatrec" -c 2 "$@" \
     2>"$work/err.txt" | cat >"$work/out.wav")
  awk '{ print $1 + $2 }' "$work/time.txt"
}

: >"$work/disk.txt"; : >"$work/stream.txt"
for _ in $(seq "$runs"); do
  cpu_of "$work/home" 120 >>"$work/disk.txt"
  cpu_of "$work/home" -o - 120 >>"$work/stream.txt"
done
disk=$(median <"$work/disk.txt")
stream=$(median <"$work/stream.txt")
echo "== 120 s of 48 kHz stereo, unpaced, medians of $runs"
awk -v d="$disk" -v s="$stream" 'BEGIN {
  printf "CPU per second of audio: to disk %.2f ms, stream %.2f ms: %.2fx (goal: at most 1.1x)\n",
    d * 1000 / 120, s * 1000 / 120, (d > 0) ? s / d : 0 }'

echo "== a reader that does not read for 5 s (paced, 1,024 x 16, 10 s)"
for _ in $(seq "$runs"); do
  rm -rf "${work:?}"/rec/* "$work"/rec/.[!.]* 2>/dev/null || true
  (cd "$work/rec" && HOME=$work/pacedhome "$floatrec" -c 2 -o - 10 2>"$work/err.txt" | (sleep 5; cat >"$work/out.wav"))
  bytes=$(stat -c %s "$work/out.wav")
  summary=$(grep '^captured' "$work/err.txt")
  echo "${summary%%; in*}; streamed $(awk -v b="$bytes" 'BEGIN { printf "%.3f", (b - 4096) / 8 / 48000 }') s"
done
