#!/usr/bin/env bash
# Prints how a take holds on a disk that is slow to flush (a card, a stick):
# tests/devices/slowflush_fs.py passes every file through to a directory on the work
# disk and delays every sync by D ms. Paced recordings of BENCH_SECONDS (60
# unless set) from the project's test device, with one-second periods and with the
# 1,024-frame periods ALSA grants without a sound server (48 kHz, 16 periods:
# a 0.34 s buffer), at D = DELAYS (10 25 50 100 250 500 1000 unless set):
#   - audio lost (goal: none, up to a flush of a whole second);
#   - syncs per second of audio (goal: at most 1.1);
#   - how late the take finishes: the run's wall time less the audio's;
#   - voluntary switches per second of audio (all threads; on FUSE every
#     request the file system serves is one too).
# Then, on the plain work disk, the same two geometries against the design's
# floor (bench/floor_recorder.cpp, which syncs every period): CPU (goal for
# 1,024-frame periods: at most 3x one-second periods' and below the floor's)
# and wake-ups (goal: at most 25 a second of audio, no frame lost), with the
# device waking the reader at avail_min (bare hardware) and at every period
# (ALSA's snooping plugin).
# Needs root (FUSE). Usage: bench/slow_flush.sh   (BENCH_SECONDS=20 DELAYS="25 500" for a short look)
set -euo pipefail
seconds=${BENCH_SECONDS:-60}
delays=${DELAYS:-10 25 50 100 250 500 1000}
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: FUSE needs root" >&2
  exit 0
fi
source "$(dirname "$0")/build.sh"

work=$build/slow-flush
rm -rf "$work"
mkdir -p "$work"/{second,short,secondsnoop,shortsnoop,backing,mnt}
device "$work/second" "period 44100 periods 4 paced true"
device "$work/short" "rate 48000 period 1024 periods 16 paced true"
# The same as ALSA's snooping plugin wakes a poller: at every period, whatever avail_min asks.
device "$work/secondsnoop" "period 44100 periods 4 paced true snoop true"
device "$work/shortsnoop" "rate 48000 period 1024 periods 16 paced true snoop true"

# Runs PROGRAM in DIR with HOME for the seconds; prints "wall_s cpu_s voluntary lost_s".
run() {
  local program=$1 dir=$2 home=$3
  local start end
  start=$EPOCHREALTIME
  (cd "$dir" && HOME=$home /usr/bin/time -f '%U %S %w' -o "$work/time.txt" "$program" "$seconds" \
     >/dev/null 2>"$work/err.txt") || true
  end=$EPOCHREALTIME
  local lost
  lost=$(sed -n 's/.* \([0-9.]*\) s lost.*/\1/p' "$work/err.txt" | tail -n 1)
  read -r user sys vol < <(tail -n 1 "$work/time.txt")
  awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v w="$vol" -v l="${lost:-0}" \
    'BEGIN { print e - s, u + y, w, l }'
}

mount_slow() { # DELAY_MS
  rm -rf "${work:?}/backing/"* "$work/backing/".[!.]* 2>/dev/null || true
  /usr/bin/python3 "$root/tests/devices/slowflush_fs.py" "$work/backing" "$work/mnt" "$1" "$work/syncs.txt" \
    >"$work/fs.log" 2>&1 &
  for _ in $(seq 100); do
    grep -q " $work/mnt fuse" /proc/mounts && return 0
    sleep 0.1
  done
  echo "the slow-flush file system did not mount: $(cat "$work/fs.log")" >&2
  exit 1
}

unmount_slow() {
  umount "$work/mnt"
  wait
}

echo "== a disk slow to flush: $seconds s paced recordings, every sync delayed (lost and late in seconds;"
echo "   syncs/s counts every sync: 00000.raw's, and the six of the take's start and finish)"
printf '%-8s | %-34s | %-34s\n' "" "one-second periods" "1,024-frame periods (48 kHz, 16)"
printf '%-8s | %6s %9s %6s %9s | %6s %9s %6s %9s\n' flush lost "syncs/s" late "switch/s" lost "syncs/s" late "switch/s"
for delay in $delays; do
  line=$(printf '%-8s |' "${delay} ms")
  for geometry in second short; do
    mount_slow "$delay"
    read -r wall cpu vol lost < <(run "$floatrec" "$work/mnt" "$work/$geometry")
    unmount_slow
    syncs=$(cat "$work/syncs.txt")
    line+=$(awk -v w="$wall" -v v="$vol" -v l="$lost" -v n="$syncs" -v s="$seconds" \
      'BEGIN { printf " %6.1f %9.2f %6.1f %9.1f |", l, n / s, w - s, v / s }')
  done
  echo "${line% |}"
done

echo
echo "== on the work disk ($(df --output=fstype "$work/backing" | tail -n 1)): CPU and wake-ups per second of audio, against the floor"
echo "   (device woken at avail_min, as bare hardware; and at every period, as ALSA's snooping plugin; goal: at most"
echo "   25 wake-ups a second, no frame lost)"
printf '%-32s %9s %9s %9s %9s %6s %s\n' geometry "cpu s" "floor" "wakes/s" "floor" lost goal
for geometry in second short secondsnoop shortsnoop; do
  rm -rf "${work:?}/backing/"*
  read -r _ cpu vol lost < <(run "$floatrec" "$work/backing" "$work/$geometry")
  rm -rf "${work:?}/backing/"*
  read -r _ floor_cpu floor_vol _ < <(run "$floor" "$work/backing" "$work/$geometry")
  case $geometry in
    second) label="one-second periods, hardware" ;;
    short) label="1,024-frame periods, hardware" ;;
    secondsnoop) label="one-second periods, snooping" ;;
    shortsnoop) label="1,024-frame periods, snooping" ;;
  esac
  wakes=$(awk -v v="$vol" -v s="$seconds" 'BEGIN { print v / s }')
  printf '%-32s %9.3f %9.3f %9.1f %9.1f %6.1f %s\n' "$label" "$cpu" "$floor_cpu" "$wakes" \
    "$(awk -v v="$floor_vol" -v s="$seconds" 'BEGIN { print v / s }')" "$lost" \
    "$(awk -v w="$wakes" -v l="$lost" 'BEGIN { print (w <= 25 && l == 0) ? "met" : "not met" }')"
done
rm -rf "$work"
