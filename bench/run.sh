#!/usr/bin/env bash
# Prints floatrec's performance figures: the per-period pipeline in ns per
# sample; the wake-ups of a paced recording with one-second periods; then
# whole recordings of 10 and 60 minutes from the project's test device
# (unpaced) beside floatrec as it was at BASELINE_REV (7bcb523 unless set),
# built beside it, and a baseline recorder that only reads and writes the
# periods once (medians of RUNS runs, 3 unless set); the memory of a
# recording through a rate converter over an unbounded device; and, as root
# where loop devices work, the longest frozen disk a recording rides out
# without losing a frame.
# Usage: bench/run.sh            (RUNS=5 bench/run.sh for more runs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
build=$root/build-bench

baseline_rev=${BASELINE_REV:-7bcb523}

"$root/scripts/install-deps.sh" all
cmake -S "$root" -B "$build" -DFLOATREC_BENCH=ON -DFLOATREC_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
# The same program as it was at the baseline revision, built the same way.
rm -rf "$build/previous-src"
mkdir -p "$build/previous-src"
git -C "$root" archive "$baseline_rev" | tar -x -C "$build/previous-src"
cmake -S "$build/previous-src" -B "$build/previous" -DFLOATREC_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/previous" -j"$(nproc)" --target floatrec >/dev/null
previous=$build/previous/floatrec

echo "== per-period pipeline, F = 44100 (copy, decode, scale, filter)"
"$build/bench/pipeline_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=console 2>/dev/null | grep -E '_median|Benchmark|^-'

work=$build/whole-run

rm -rf "$work"
mkdir -p "$work/home" "$work/rec" "$work/pacedhome"
cat >"$work/home/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.!default { type floatrectest }
RC
cat >"$work/pacedhome/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.!default { type floatrectest period 44100 periods 4 paced true }
RC

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Voluntary context switches (all threads) of a paced recording of $2
# seconds by $1 in $3, less those of a 2-second one: per second of audio.
wakeups_per_second() {
  local program=$1 seconds=$2 dir=$3 long short
  rm -f "$dir/"*
  (cd "$dir" && HOME=$work/pacedhome /usr/bin/time -f '%w' -o "$work/w.txt" "$program" "$seconds" >/dev/null 2>&1)
  long=$(cat "$work/w.txt")
  rm -f "$dir/"*
  (cd "$dir" && HOME=$work/pacedhome /usr/bin/time -f '%w' -o "$work/w.txt" "$program" 2 >/dev/null 2>&1)
  short=$(cat "$work/w.txt")
  awk -v l="$long" -v s="$short" -v n="$seconds" 'BEGIN { printf "%.1f", (l - s) / (n - 2) }'
}

echo
echo "== wake-ups per second of audio: paced device, one-second periods, no meter (/usr/bin/time %w, all threads)"
mkdir -p "$work/tmpfs"
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64m tmpfs "$work/tmpfs" 2>/dev/null; then
  printf 'tmpfs: %s now, %s at %s\n' "$(wakeups_per_second "$build/floatrec" 12 "$work/tmpfs")" \
    "$(wakeups_per_second "$previous" 12 "$work/tmpfs")" "$baseline_rev"
  umount "$work/tmpfs"
fi
printf '%s: %s now, %s at %s\n' "$(df --output=fstype "$work/rec" | tail -n 1)" \
  "$(wakeups_per_second "$build/floatrec" 12 "$work/rec")" "$(wakeups_per_second "$previous" 12 "$work/rec")" "$baseline_rev"

# Runs floatrec (or $2) for $1 seconds; prints "cpu_seconds peak_kib finish_seconds".
record_once() {
  local seconds=$1 program=${2:-$build/floatrec} stamps=$work/stamps.txt
  rm -f "$work/rec/"*
  sync # earlier runs' dirty pages would otherwise be written back on this run's time
  (cd "$work/rec" && HOME=$work/home /usr/bin/time -f '%U %S %M' -o "$work/time.txt" \
      "$program" "$seconds" 2>/dev/null) |
    while IFS= read -r line; do
      case $line in
        *"bytes... # 0") echo "last $EPOCHREALTIME" ;;
        *"THE END"*) echo "end $EPOCHREALTIME" ;;
      esac
    done >"$stamps"
  read -r user sys kib <"$work/time.txt"
  awk -v u="$user" -v s="$sys" -v k="$kib" '/^last/ { l = $2 } /^end/ { e = $2 } END { print u + s, k, e - l }' "$stamps"
}

# The baseline: prints "cpu_seconds peak_kib".
baseline_once() {
  rm -f "$work/rec/baseline.raw"
  sync
  (cd "$work/rec" && HOME=$work/home /usr/bin/time -f '%U %S %M' -o "$work/time.txt" \
      "$build/bench/baseline_recorder" "$1" >/dev/null)
  awk '{ print $1 + $2, $3 }' "$work/time.txt"
}

# Copying 00000.raw to a new file on the same filesystem and syncing it.
copy_once() {
  rm -f "$work/rec/copy.raw"
  sync
  local start=$EPOCHREALTIME
  dd if="$work/rec/00000.raw" of="$work/rec/copy.raw" bs=1M conv=fdatasync status=none
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }'
}

echo
echo "== whole run, project device unpaced, medians of $runs"
printf '%-8s %14s %14s %9s %14s %12s %12s %12s %12s\n' audio "cpu s/h audio" "$baseline_rev s/h" ratio "baseline s/h" \
  "peak RSS" "baseline RSS" "finish s" "copy+sync s"
for minutes in 10 60; do
  seconds=$((minutes * 60))
  : >"$work/ours.txt"; : >"$work/prev.txt"; : >"$work/base.txt"; : >"$work/copy.txt"
  for _ in $(seq "$runs"); do
    record_once "$seconds" >>"$work/ours.txt"
    record_once "$seconds" "$previous" >>"$work/prev.txt"
    copy_once >>"$work/copy.txt"
    baseline_once "$seconds" >>"$work/base.txt"
  done
  per_hour=$(awk '{ print $1 }' "$work/ours.txt" | median)
  prev_hour=$(awk '{ print $1 }' "$work/prev.txt" | median)
  base_hour=$(awk '{ print $1 }' "$work/base.txt" | median)
  printf '%-8s %14.3f %14.3f %9.2f %14.3f %9.1f MiB %9.1f MiB %12.3f %12.3f\n' "${minutes} min" \
    "$(awk -v c="$per_hour" -v m="$minutes" 'BEGIN { print c * 60 / m }')" \
    "$(awk -v c="$prev_hour" -v m="$minutes" 'BEGIN { print c * 60 / m }')" \
    "$(awk -v a="$per_hour" -v b="$prev_hour" 'BEGIN { print (b > 0) ? a / b : 0 }')" \
    "$(awk -v c="$base_hour" -v m="$minutes" 'BEGIN { print c * 60 / m }')" \
    "$(awk '{ print $2 / 1024 }' "$work/ours.txt" | median)" \
    "$(awk '{ print $2 / 1024 }' "$work/base.txt" | median)" \
    "$(awk '{ print $3 }' "$work/ours.txt" | median)" \
    "$(median <"$work/copy.txt")"
done

echo
echo "== through plug over an unbounded device (rate converter to 48 kHz over null), 10 s"
mkdir -p "$work/plughome"
echo 'pcm.!default { type plug slave { pcm "null" rate 48000 } }' >"$work/plughome/.asoundrc"
rm -f "$work/rec/"*
(cd "$work/rec" && HOME=$work/plughome /usr/bin/time -f '%U %S %M' -o "$work/time.txt" "$build/floatrec" 10 >/dev/null 2>&1)
awk '{ printf "peak RSS %.1f MiB, CPU %.2f s\n", $3 / 1024, $1 + $2 }' "$work/time.txt"

echo
echo "== frozen disk: device buffer of two 1-s periods, ext4 on a loop device frozen 3 s into the recording"
stall_dir=$work/stall
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: freezing a file system needs root"
elif ! (mkdir -p "$stall_dir" && truncate -s 256M "$work/stall.img" && mkfs.ext4 -q -F "$work/stall.img" &&
        mount -o loop "$work/stall.img" "$stall_dir") 2>/dev/null; then
  echo "skipped: no loop devices here"
else
  cat >"$work/home/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.!default { type floatrectest period 44100 periods 2 paced true }
RC
  for freeze in ${FREEZES:-25 30 32 35}; do
    seconds=$((freeze + 8))
    rm -rf "$stall_dir/rec" && mkdir "$stall_dir/rec"
    (cd "$stall_dir/rec" && HOME=$work/home "$build/floatrec" "$seconds" >/dev/null 2>"$work/stall-err.txt") &
    sleep 3
    fsfreeze -f "$stall_dir"
    sleep "$freeze"
    fsfreeze -u "$stall_dir"
    wait
    frames=$(( $(stat -c %s "$stall_dir/rec/00000.raw") / 4 ))
    lost=$(grep -c 'overrun occurred' "$work/stall-err.txt" || true)
    printf 'frozen %2d s in a %2d s recording: %s\n' "$freeze" "$seconds" \
      "$(if [ "$frames" -eq $((seconds * 44100)) ] && [ "$lost" -eq 0 ]; then echo "no frame lost";
         else echo "$lost overruns, $(awk -v f="$frames" -v s="$seconds" 'BEGIN { printf "%.1f", s - f / 44100 }') s lost"; fi)"
  done
  umount "$stall_dir"
fi
rm -rf "$work"
