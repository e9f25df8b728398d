#!/usr/bin/env bash
# --mark-gaps against the same take without it: an hour of the test
# device's tone (one second on, one off: a gap every two seconds) at 44.1
# kHz, unpaced. Prints, medians of RUNS runs (3 unless set), interleaved: the
# take's CPU and the finish (last progress line to exit), and their ratios
# (goals: CPU within 1.05x, the finish within 1.1x). The filter's own cost
# per sample with --silence-min is in pipeline_bench (runs_frames).
# Usage: bench/timeline.sh
set -euo pipefail
runs=${RUNS:-3}
source "$(dirname "$0")/build.sh"

work=$build/timeline-run
rm -rf "$work"
mkdir -p "$work"/{home,rec}
device "$work/home" "period 44100 tone true"

# One run of floatrec ARGS...; prints "cpu_s finish_s".
run() {
  rm -rf "${work:?}"/rec/* "$work"/rec/.[!.]* 2>/dev/null || true
  sync
  (cd "$work/rec" && HOME=$work/home /usr/bin/time -f '%U %S' -o "$work/time.txt" "$floatrec" "$@" 2>/dev/null) |
    while IFS= read -r line; do
      case $line in Appending*) echo "append $EPOCHREALTIME" ;; esac
    done >"$work/stamps.txt"
  local done_at=$EPOCHREALTIME
  read -r user sys <"$work/time.txt"
  awk -v u="$user" -v s="$sys" -v e="$done_at" '/^append/ { l = $2 } END { print u + s, e - l }' "$work/stamps.txt"
}

: >"$work/plain.txt"; : >"$work/marked.txt"
for _ in $(seq "$runs"); do
  run 3600 >>"$work/plain.txt"
  run --mark-gaps 3600 >>"$work/marked.txt"
done
col() { awk -v c="$1" '{ print $c }' "$2" | median; }
echo "== an hour of a tone with a gap every 2 s, 44.1 kHz, unpaced, medians of $runs"
printf '%-12s %9s %10s\n' take "cpu s" "finish s"
for take in plain marked; do
  printf '%-12s %9.3f %10.4f\n' "$take" "$(col 1 "$work/$take.txt")" "$(col 2 "$work/$take.txt")"
done
awk -v a="$(col 1 "$work/marked.txt")" -v b="$(col 1 "$work/plain.txt")" -v c="$(col 2 "$work/marked.txt")" \
  -v d="$(col 2 "$work/plain.txt")" 'BEGIN { printf "marked/plain: CPU %.2fx (goal 1.05x), finish %.2fx (goal 1.1x)\n", a / b, c / d }'
