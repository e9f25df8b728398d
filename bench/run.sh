#!/usr/bin/env bash
# Prints floatrec's performance figures against the design's floor,
# bench/floor_recorder.cpp: one thread that reads a period, filters it with
# floatrec's pipeline, appends and syncs it, and at the end copies 00000.raw
# into target.wav through a synced temporary and a rename. First it checks
# that both leave the same 00000.raw, byte for byte. Then:
#   - the per-period pipeline in ns per sample (Google Benchmark), mono and of
#     2 and 8 channels (goal: within 1.2x of mono);
#   - whole runs of 60, 600 and 3600 s of audio from the project's test device,
#     unpaced: CPU, peak RSS and the finish (last progress line to exit), with
#     the goals (CPU at most 1.1x the floor at 60 s and 1.0x from 600 s, peak
#     RSS at most 1.5x, the 60-minute finish at most the floor's);
#   - eight channels at 48 kHz for 600 s: CPU against the floor at the same
#     geometry;
#   - the finish of a 3600 s take in parts under a file size limit;
#   - wake-ups (voluntary context switches, all threads) per one-second
#     period of a paced recording, on the work directory's disk and on tmpfs
#     (goal: at most the floor's plus one a period);
#   - a device whose descriptor is readable with nothing to read: CPU over 10 s;
#   - the memory through a rate converter over an unbounded device;
#   - as root, the longest frozen disk a recording rides out without loss;
#   - the finish per file system (ext4; xfs and btrfs on loop devices as
#     root) and the bytes written per second of audio;
#   - against a plain reader (one period at each device wake, nothing else),
#     per device buffer, with and without real-time priority: audio lost
#     under load (CPU hogs, nice 19), to hiccups of the reading thread
#     between the two slacks and past the buffer, and wake-ups a second,
#     with and without the meter.
# Medians of RUNS runs (3 unless set), floatrec and the floor interleaved.
# Usage: bench/run.sh [SECTION...]   (sections: core finish load hiccup wakeups;
#        none: all; RUNS=5 bench/run.sh for more runs)
set -euo pipefail
runs=${RUNS:-3}
source "$(dirname "$0")/build.sh"

work=$build/whole-run
rm -rf "$work"
mkdir -p "$work"/{home,pacedhome,lyinghome,plughome,rec,floor,tmpfs}
device "$work/home" ""
device "$work/pacedhome" "period 44100 periods 4 paced true"
device "$work/lyinghome" "period 44100 paced true poll_lies true stall_at 0"
echo 'pcm.!default { type plug slave { pcm "null" rate 48000 } }' >"$work/plughome/.asoundrc"

sections=" ${*:-core finish load hiccup wakeups} "
section() { [[ $sections == *" $1 "* ]]; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
verdict() { awk -v v="$1" -v goal="$2" 'BEGIN { print (v <= goal) ? "met" : "not met" }'; }

# Runs PROGRAM for SECONDS in DIR with HOME; prints "cpu_s peak_kib finish_s voluntary blocks_written" (the file
# system's outputs, 512 bytes each).
measure() {
  local program=$1 seconds=$2 dir=$3 home=$4 stamps=$work/stamps.txt
  rm -rf "${dir:?}"/* "$dir"/.[!.]* 2>/dev/null || true
  sync # earlier runs' dirty pages would otherwise be written back on this run's time
  (cd "$dir" && HOME=$home /usr/bin/time -f '%U %S %M %w %O' -o "$work/time.txt" "$program" "$seconds" 2>/dev/null) |
    while IFS= read -r line; do
      case $line in
        *"bytes... # 0") echo "last $EPOCHREALTIME" ;;
      esac
    done >"$stamps"
  local done_at=$EPOCHREALTIME
  read -r user sys kib vol blocks <"$work/time.txt"
  awk -v u="$user" -v s="$sys" -v k="$kib" -v w="$vol" -v o="$blocks" -v e="$done_at" \
    '/^last/ { l = $2 } END { print u + s, k, e - l, w, o }' "$stamps"
}

if section core; then
echo "== the floor's 00000.raw is floatrec's, byte for byte (60 s, unpaced)"
measure "$floatrec" 60 "$work/rec" "$work/home" >/dev/null
measure "$floor" 60 "$work/floor" "$work/home" >/dev/null
if cmp -s "$work/rec/00000.raw" "$work/floor/00000.raw" && cmp -s "$work/rec/target.wav" "$work/floor/target.wav"; then
  echo "the same: 00000.raw and target.wav"
else
  echo "they differ: the comparison below is not of the same work" >&2
  exit 1
fi

echo
echo "== per-period pipeline, F = 44100 (decode, scale, filter)"
"$build/bench/pipeline_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=console 2>/dev/null | grep -E '_median|Benchmark|^-'

echo
echo "== whole runs, project device unpaced, medians of $runs (work disk: $(df --output=fstype "$work/rec" | tail -n 1))"
printf '%-7s %9s %9s %6s %5s %9s %9s %6s %5s %9s %9s %7s\n' audio "cpu s" "floor" ratio goal "RSS MiB" floor ratio goal \
  "finish s" floor goal
for seconds in 60 600 3600; do
  : >"$work/ours.txt"; : >"$work/floor.txt"
  for _ in $(seq "$runs"); do
    measure "$floatrec" "$seconds" "$work/rec" "$work/home" >>"$work/ours.txt"
    measure "$floor" "$seconds" "$work/floor" "$work/home" >>"$work/floor.txt"
  done
  cpu=$(awk '{ print $1 }' "$work/ours.txt" | median); floor_cpu=$(awk '{ print $1 }' "$work/floor.txt" | median)
  rss=$(awk '{ print $2 / 1024 }' "$work/ours.txt" | median); floor_rss=$(awk '{ print $2 / 1024 }' "$work/floor.txt" | median)
  fin=$(awk '{ print $3 }' "$work/ours.txt" | median); floor_fin=$(awk '{ print $3 }' "$work/floor.txt" | median)
  cpu_goal=$([ "$seconds" -ge 600 ] && echo 1.0 || echo 1.1)
  printf '%-7s %9.3f %9.3f %6s %5s %9.1f %9.1f %6s %5s %9.3f %9.3f %7s\n' "${seconds} s" "$cpu" "$floor_cpu" \
    "$(ratio "$cpu" "$floor_cpu")" "$(verdict "$(ratio "$cpu" "$floor_cpu")" "$cpu_goal")" "$rss" "$floor_rss" \
    "$(ratio "$rss" "$floor_rss")" "$(verdict "$(ratio "$rss" "$floor_rss")" 1.5)" "$fin" "$floor_fin" \
    "$([ "$seconds" -eq 3600 ] && verdict "$fin" "$floor_fin" || echo -)"
done

echo
echo "== eight channels at 48 kHz, 600 s unpaced, medians of $runs: CPU against the floor at the same geometry"
mkdir -p "$work/eighthome"
device "$work/eighthome" "rate 48000 period 48000 channels 8"
printf '#!/bin/sh\nexec "%s" -c 8 "$@"\n' "$floatrec" >"$work/eight.sh"
printf '#!/bin/sh\nexec "%s" "$1" channels 8\n' "$floor" >"$work/floor-eight.sh"
chmod +x "$work/eight.sh" "$work/floor-eight.sh"
: >"$work/ours.txt"; : >"$work/floor.txt"
for _ in $(seq "$runs"); do
  measure "$work/eight.sh" 600 "$work/rec" "$work/eighthome" >>"$work/ours.txt"
  measure "$work/floor-eight.sh" 600 "$work/floor" "$work/eighthome" >>"$work/floor.txt"
done
cmp -s "$work/rec/00000.raw" "$work/floor/00000.raw" || echo "their 00000.raw differ: the comparison is not of the same work" >&2
cpu=$(awk '{ print $1 }' "$work/ours.txt" | median); floor_cpu=$(awk '{ print $1 }' "$work/floor.txt" | median)
printf 'CPU %.3f s, floor %.3f s: ratio %s\n' "$cpu" "$floor_cpu" "$(ratio "$cpu" "$floor_cpu")"
rm -f "$work"/rec/*.raw "$work"/rec/*.wav "$work"/floor/*.raw "$work"/floor/*.wav

echo
echo "== the finish of a take in parts: 3600 s under ulimit -f of 256 MiB (3 parts), medians of $runs (goal: the floor's one file)"
printf '#!/bin/sh\nulimit -f 262144\nexec "%s" "$@"\n' "$floatrec" >"$work/limited.sh"
chmod +x "$work/limited.sh"
: >"$work/parts.txt"
for _ in $(seq "$runs"); do
  measure "$work/limited.sh" 3600 "$work/rec" "$work/home" >>"$work/parts.txt"
done
parts=$(ls "$work/rec" | grep -c '^target-[0-9]*\.wav$' || true)
fin=$(awk '{ print $3 }' "$work/parts.txt" | median)
printf 'finish %.3f s in %s parts, floor %.3f s: %s\n' "$fin" "$parts" "$floor_fin" "$(verdict "$fin" "$floor_fin")"

# Voluntary switches of a paced recording of 22 s less those of one of 2 s,
# medians of RUNS each: per one-second period.
wakeups() { # PROGRAM DIR
  local long short
  long=$(for _ in $(seq "$runs"); do measure "$1" 22 "$2" "$work/pacedhome" | awk '{ print $4 }'; done | median)
  short=$(for _ in $(seq "$runs"); do measure "$1" 2 "$2" "$work/pacedhome" | awk '{ print $4 }'; done | median)
  awk -v l="$long" -v s="$short" 'BEGIN { printf "%.2f", (l - s) / 20 }'
}
wakeup_line() { # WHERE DIR
  local ours theirs
  ours=$(wakeups "$floatrec" "$2"); theirs=$(wakeups "$floor" "$2")
  printf '%-6s %6s a period, floor %6s: %s\n' "$1" "$ours" "$theirs" \
    "$(verdict "$ours" "$(awk -v f="$theirs" 'BEGIN { print f + 1 }')")"
}

echo
echo "== wake-ups per one-second period, paced, no meter (voluntary switches, all threads; goal: the floor's + 1)"
wakeup_line "$(df --output=fstype "$work/rec" | tail -n 1)" "$work/rec"
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64m tmpfs "$work/tmpfs" 2>/dev/null; then
  wakeup_line tmpfs "$work/tmpfs"
  umount "$work/tmpfs"
fi
long=$(measure "$floatrec" 20 "$work/rec" "$work/pacedhome" | awk '{ print $4 }')
floor_long=$(measure "$floor" 20 "$work/floor" "$work/pacedhome" | awk '{ print $4 }')
printf 'a whole 20 s recording: %s switches, floor %s + 20 + 15: %s\n' "$long" "$floor_long" \
  "$(verdict "$long" $((floor_long + 35)))"

echo
echo "== peak RSS of a paced 12 s recording: what a real device costs (unpaced, the queue fills its 30 s)"
ours=$(measure "$floatrec" 12 "$work/rec" "$work/pacedhome" | awk '{ print $2 / 1024 }')
theirs=$(measure "$floor" 12 "$work/floor" "$work/pacedhome" | awk '{ print $2 / 1024 }')
printf 'floatrec %.1f MiB, floor %.1f MiB: ratio %s, goal 1.5: %s\n' "$ours" "$theirs" "$(ratio "$ours" "$theirs")" \
  "$(verdict "$(ratio "$ours" "$theirs")" 1.5)"

echo
echo "== a device readable with nothing to read, 10 s (goal: under 5% of a core, the silence said)"
rm -rf "${work:?}/rec/"*
(cd "$work/rec" && HOME=$work/lyinghome /usr/bin/time -f '%U %S' -o "$work/time.txt" \
   timeout -s INT 10 "$floatrec" 60 >/dev/null 2>"$work/lying-err.txt") || true
tail -n 1 "$work/time.txt" | awk '{ printf "CPU %.2f s of 10 s: ", $1 + $2 }'
tail -n 1 "$work/time.txt" | awk '{ print ($1 + $2 < 0.5) ? "met" : "not met" }'
grep -q "delivered nothing for 5 seconds" "$work/lying-err.txt" && echo "the silence was said" || echo "the silence was not said"

echo
echo "== through plug over an unbounded device (rate converter to 48 kHz over null), 10 s"
rm -rf "${work:?}/rec/"*
(cd "$work/rec" && HOME=$work/plughome /usr/bin/time -f '%U %S %M' -o "$work/time.txt" "$floatrec" 10 >/dev/null 2>&1)
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
  device "$work/home" "period 44100 periods 2 paced true"
  for freeze in ${FREEZES:-25 30 32 35}; do
    seconds=$((freeze + 8))
    rm -rf "$stall_dir/rec" && mkdir "$stall_dir/rec"
    (cd "$stall_dir/rec" && HOME=$work/home "$floatrec" "$seconds" >/dev/null 2>"$work/stall-err.txt") &
    sleep 3
    fsfreeze -f "$stall_dir"
    sleep "$freeze"
    fsfreeze -u "$stall_dir"
    wait
    frames=$(( $(stat -c %s "$stall_dir/rec/00000.raw") / 4 ))
    lost=$(grep -c 'overrun occurred\|dropped\|s of audio: the disk' "$work/stall-err.txt" || true)
    printf 'frozen %2d s in a %2d s recording: %s\n' "$freeze" "$seconds" \
      "$(if [ "$frames" -eq $((seconds * 44100)) ] && [ "$lost" -eq 0 ]; then echo "no frame lost";
         else echo "$lost losses, $(awk -v f="$frames" -v s="$seconds" 'BEGIN { printf "%.1f", s - f / 44100 }') s lost"; fi)"
  done
  umount "$stall_dir"
fi

fi

# floatrec without real-time priority, as root: no CAP_SYS_NICE, no rtprio
# limit and no broker (a desktop's RealtimeKit would grant it).
no_rt=(env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice
       prlimit --rtprio=0)
lost_of() { grep -o '^[0-9.]* seconds of audio lost' "$1" | awk '{ print $1 } END { if (NR == 0) print 0 }'; }
# Records SECONDS with floatrec (RT: "rt", "no-rt", "meter": with the meter on a terminal) in $work/rec; prints the
# audio lost.
ours_lost() { # RT SECONDS [nice]
  local wrap=() nice=()
  [ "$1" = no-rt ] && wrap=("${no_rt[@]}")
  [ "${3:-}" = nice ] && nice=(nice -n 19)
  (cd "$work/rec" && rm -f ./*.raw ./*.wav && HOME=$work/home "${nice[@]}" "${wrap[@]}" "$floatrec" "$2" >/dev/null \
     2>"$work/err.txt") || true
  lost_of "$work/err.txt"
}
plain_lost() { # SECONDS [nice]
  local nice=()
  [ "${2:-}" = nice ] && nice=(nice -n 19)
  (cd "$work/floor" && HOME=$work/home "${nice[@]}" "$floor" "$1" plain | awk '{ print $4 }')
}
hogs_start() { hogs=(); for _ in 1 2 3 4; do sh -c 'while :; do :; done' & hogs+=($!); done; }
hogs_stop() { kill "${hogs[@]}"; wait "${hogs[@]}" 2>/dev/null || true; }
column_medians() { # FILE COLUMNS
  for column in $(seq "$2"); do printf ' %10s' "$(awk -v c="$column" '{ print $c }' "$1" | median)"; done
  echo
}
if [ "$(id -u)" -ne 0 ]; then
  echo
  echo "(as another user than root, floatrec's real-time priority is what this machine grants it: rt and no-rt may be alike)"
fi

if section finish; then
  echo
  echo "== the finish of 600 s unpaced, per file system: seconds, and MB written a second of audio (medians of $runs)"
  printf '%-8s %10s %10s %12s %12s\n' "disk" "finish s" "floor" "MB/s audio" "floor"
  finish_on() { # NAME DIR
    device "$work/home" ""
    : >"$work/fin.txt"
    for _ in $(seq "$runs"); do
      read -r _ _ ours _ ours_blocks < <(measure "$floatrec" 600 "$2" "$work/home")
      mkdir -p "$2-floor"
      read -r _ _ theirs _ their_blocks < <(measure "$floor" 600 "$2-floor" "$work/home")
      awk -v a="$ours" -v b="$theirs" -v o="$ours_blocks" -v f="$their_blocks" \
        'BEGIN { print a, b, o * 512 / 1e6 / 600, f * 512 / 1e6 / 600 }' >>"$work/fin.txt"
      rm -rf "${2:?}"/* "$2-floor"/*
    done
    printf '%-8s' "$1"; column_medians "$work/fin.txt" 4
  }
  finish_on "$(df --output=fstype "$work/rec" | tail -n 1)" "$work/rec"
  for fs in xfs btrfs; do
    if [ "$(id -u)" -ne 0 ] || ! command -v "mkfs.$fs" >/dev/null; then
      echo "$fs: skipped (needs root and mkfs.$fs)"; continue
    fi
    mkdir -p "$work/$fs" && truncate -s 1G "$work/$fs.img" && "mkfs.$fs" -q -f "$work/$fs.img" >/dev/null 2>&1 &&
      mount -o loop "$work/$fs.img" "$work/$fs" || { echo "$fs: skipped (no loop devices here)"; continue; }
    mkdir -p "$work/$fs/rec"
    finish_on "$fs" "$work/$fs/rec"
    umount "$work/$fs"; rm -f "$work/$fs.img"
  done
fi

if section load; then
  echo
  echo "== audio lost under load: 4 CPU hogs, the recorders at nice 19, 10 s (medians of $runs)"
  printf '%-24s %10s %10s %10s\n' buffer "rt" "no rt" "plain"
  for geometry in "period 256 periods 16" "period 1024 periods 16"; do
    : >"$work/load.txt"
    device "$work/home" "$geometry paced true"
    for _ in $(seq "$runs"); do
      hogs_start
      echo "$(ours_lost rt 10 nice) $(ours_lost no-rt 10 nice) $(plain_lost 10 nice)" >>"$work/load.txt"
      hogs_stop
    done
    printf '%-24s' "$geometry"; column_medians "$work/load.txt" 3
  done
fi

if section hiccup; then
  echo
  echo "== audio lost to a hiccup of the reading thread 1 s in (it spins inside the device call), 3 s (medians of $runs)"
  echo "   under the whole buffer less a period, and past the buffer"
  printf '%-24s %7s %10s %10s %10s\n' buffer hiccup "rt" "no rt" "plain"
  for case in "256 16 75" "256 16 150" "1024 16 300" "1024 16 450" "4096 4 300"; do
    read -r period periods ms <<<"$case"
    : >"$work/hiccup.txt"
    device "$work/home" "period $period periods $periods paced true hiccup_at $((44100 / period)) hiccup_ms $ms"
    for _ in $(seq "$runs"); do
      echo "$(ours_lost rt 3) $(ours_lost no-rt 3) $(plain_lost 3)" >>"$work/hiccup.txt"
    done
    printf '%-24s %5s ms' "period $period periods $periods" "$ms"; column_medians "$work/hiccup.txt" 3
  done
fi

if section wakeups; then
  echo
  echo "== wake-ups a second (voluntary switches, all threads, a 10 s recording less a 2 s one; medians of $runs)"
  printf '%-24s %10s %10s %10s %10s\n' buffer "rt" "no rt" "rt, meter" "plain"
  switches() { # RT SECONDS: voluntary switches of a paced recording
    local wrap=()
    [ "$1" = no-rt ] && wrap=("${no_rt[@]}")
    rm -rf "${work:?}/rec/"*
    if [ "$1" = meter ]; then
      (cd "$work/rec" && HOME=$work/home TERM=xterm script -qec "/usr/bin/time -f %w -o $work/w.txt $floatrec $2" /dev/null \
         >/dev/null 2>&1) || true
    else
      (cd "$work/rec" && HOME=$work/home "${wrap[@]}" /usr/bin/time -f %w -o "$work/w.txt" "$floatrec" "$2" >/dev/null 2>&1) || true
    fi
    tail -n 1 "$work/w.txt"
  }
  per_second() { awk -v l="$1" -v s="$2" 'BEGIN { printf "%.1f", (l - s) / 8 }'; }
  for geometry in "period 1024 periods 2" "period 1024 periods 4" "period 1024 periods 16" "period 44100 periods 4"; do
    device "$work/home" "$geometry paced true"
    : >"$work/wake.txt"
    for _ in $(seq "$runs"); do
      line=""
      for rt in rt no-rt meter; do line="$line $(per_second "$(switches "$rt" 10)" "$(switches "$rt" 2)")"; done
      (cd "$work/floor" && HOME=$work/home /usr/bin/time -f '%w' -o "$work/t10" "$floor" 10 plain >/dev/null)
      (cd "$work/floor" && HOME=$work/home /usr/bin/time -f '%w' -o "$work/t2" "$floor" 2 plain >/dev/null)
      echo "$line $(per_second "$(tail -n 1 "$work/t10")" "$(tail -n 1 "$work/t2")")" >>"$work/wake.txt"
    done
    printf '%-24s' "$geometry"; column_medians "$work/wake.txt" 4
  done
fi
rm -rf "$work"
