#!/usr/bin/env bash
# Builds floatrec and runs it with the arguments given (5 seconds into
# ./target.wav when there are none). Without a sound card it records from a
# synthetic device in real time: the project's own test device playing a tone
# with pauses, named "synthetic" in build-run/synthetic/.asoundrc, and it says
# so. The build's output is shown only when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || set -- 5
build=$root/build-run

"$root/scripts/install-deps.sh" run
mkdir -p "$build"
log=$build/build.log
if [ ! -x "$build/floatrec" ]; then
  echo "building floatrec in $build (the first build takes about 12 s on 2 cores, 36 s when they are busy; later ones a few seconds)" >&2
fi
if ! { cmake -S "$root" -B "$build" -DFLOATREC_TESTS=OFF -DFLOATREC_TEST_DEVICE=ON -DFLOATREC_UNITY=ON -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed (its output is above, and in $log)" >&2
  exit 1
fi
floatrec=$build/floatrec
echo "floatrec is $floatrec (sudo cmake --install $build puts it in /usr/local/bin)" >&2

if compgen -G '/dev/snd/pcmC*D*c' >/dev/null; then
  exec "$floatrec" "$@"
fi

# The synthetic device, kept for running the binary itself:
#   HOME=build-run/synthetic build-run/floatrec -D synthetic 10
device=$build/synthetic
mkdir -p "$device"
cat >"$device/.asoundrc" <<RC
pcm_type.floatrectest { lib "$build/tests/libasound_module_pcm_floatrectest.so" }
pcm.synthetic { type floatrectest tone true paced true channels 8 channels_min 1 second_rate 48000 }
pcm.!default synthetic
RC
echo "no sound card here: recording from floatrec's synthetic device in real time (1 to 8 channels at 44100 or 48000 Hz, a tone each from 440 Hz up, one second on, one second of silence); without this script: HOME=$device $floatrec -D synthetic SECONDS" >&2
HOME=$device exec "$floatrec" "$@"
