#!/usr/bin/env bash
# Builds floatrec and records SECONDS seconds (5 when not given) into
# ./target.wav. Without a sound card it records from a synthetic device:
# alsa-lib's file plugin playing a tone with pauses, and it says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}

"$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$root/build-run" -DFLOATREC_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build-run" -j"$(nproc)" >/dev/null
floatrec=$root/build-run/floatrec

if compgen -G '/dev/snd/pcmC*D*c' >/dev/null; then
  exec "$floatrec" "$seconds"
fi

echo "no sound card here: recording from floatrec's synthetic device (440 Hz, one second on, one second of silence)" >&2
device=$(mktemp -d)
trap 'rm -rf "$device"' EXIT
repeats=$(( (${seconds//[^0-9]/} + 0) / 2 + 1 ))
sox -D -n -r 44100 -c 1 -b 32 -e signed-integer -t raw "$device/signal.raw" \
  synth 1 sine 440 gain -6 pad 0 1 repeat "$repeats"
cat >"$device/.asoundrc" <<RC
pcm.!default {
  type file
  slave.pcm "null"
  file "/dev/null"
  infile "$device/signal.raw"
  format "raw"
}
RC
HOME=$device "$floatrec" "$seconds"
