#!/usr/bin/env bash
# A take in parts of captured time against the same take whole: 24 s of
# 48 kHz stereo from the project's test device, unpaced, with --split-every 1
# (24 parts, each saved while capture goes on) and without. Prints, medians of
# RUNS runs (3 unless set), interleaved:
#   - audio lost (the summary's "lost": goal none);
#   - CPU (user + system) and bytes written, and their ratios (goal: at most
#     1.1x the whole take's);
#   - the main thread's finish of a part while capture goes on: from the
#     progress line of the append that holds its last samples to its "saved"
#     line (both said by the main thread, one after the other), median and
#     worst; beside it the end-of-take finish (last progress line to exit).
# Usage: bench/split.sh
set -euo pipefail
runs=${RUNS:-3}
source "$(dirname "$0")/build.sh"

work=$build/split-run
rm -rf "$work"
mkdir -p "$work"/{home,rec}
device "$work/home" "rate 48000 channels 2 period 1024"

# One run of floatrec ARGS...; prints "cpu_s bytes_written lost_s end_finish_s"
# and appends each part's finish (s) to parts.txt.
run() {
  rm -rf "${work:?}"/rec/* "$work"/rec/.[!.]* 2>/dev/null || true
  sync
  (cd "$work/rec" && HOME=$work/home /usr/bin/time -f '%U %S %O' -o "$work/time.txt" "$floatrec" -c 2 "$@" 2>&1) |
    while IFS= read -r line; do
      case $line in
        Appending*) echo "append $EPOCHREALTIME" ;;
        saved*) echo "saved $EPOCHREALTIME" ;;
        captured*) echo "summary ${line##*clipped, }" ;;
      esac
    done >"$work/stamps.txt"
  local done_at=$EPOCHREALTIME
  read -r user sys blocks <"$work/time.txt"
  awk '/^append/ { a = $2 } /^saved/ && a > 0 { print $2 - a }' "$work/stamps.txt" >>"$work/parts.txt"
  awk -v u="$user" -v s="$sys" -v o="$blocks" -v e="$done_at" \
    '/^append/ { l = $2 } /^summary/ { lost = $2 } END { print u + s, o * 512, lost, e - l }' "$work/stamps.txt"
}

: >"$work/whole.txt"; : >"$work/split.txt"; : >"$work/parts.txt"
for _ in $(seq "$runs"); do
  run 24 >>"$work/whole.txt"
  run --split-every 1 24 >>"$work/split.txt"
done
ls "$work/rec"/target-0*.wav | wc -l | xargs printf 'parts of the last split run: %s\n'

col() { awk -v c="$1" '{ print $c }' "$2" | median; }
echo "== 24 s of 48 kHz stereo, unpaced, medians of $runs"
printf '%-22s %9s %12s %8s %10s\n' take "cpu s" "bytes" "lost s" "finish s"
for take in whole split; do
  printf '%-22s %9.3f %12.0f %8s %10.4f\n' "$take" "$(col 1 "$work/$take.txt")" "$(col 2 "$work/$take.txt")" \
    "$(col 3 "$work/$take.txt")" "$(col 4 "$work/$take.txt")"
done
awk -v a="$(col 1 "$work/split.txt")" -v b="$(col 1 "$work/whole.txt")" -v c="$(col 2 "$work/split.txt")" \
  -v d="$(col 2 "$work/whole.txt")" 'BEGIN { printf "split/whole: CPU %.2fx, bytes %.2fx (goal: at most 1.1x)\n", a / b, c / d }'
printf 'a part'"'"'s finish while capture goes on: median %.4f s, worst %.4f s, of %d parts\n' \
  "$(median <"$work/parts.txt")" "$(sort -g "$work/parts.txt" | tail -n 1)" "$(wc -l <"$work/parts.txt")"
