#!/usr/bin/env bash
# Installs the Debian packages that building and testing floatrec need.
# Usage: scripts/install-deps.sh [run|all]   (run: only what building the recorder needs)
set -euo pipefail

run_pkgs=(g++ cmake make pkg-config libasound2-dev sox)
# The tests also record through a private PulseAudio server (pulse plugin),
# freeze and fill small file systems (e2fsprogs, mount, util-linux's fsfreeze),
# cut the power of a FUSE file system (python3-fusepy, fuse3) and run as
# another user (util-linux's setpriv).
test_pkgs=(libgtest-dev libgmock-dev libsndfile1-dev ffmpeg strace valgrind libbenchmark-dev
           clang libclang-rt-14-dev groff man-db file time lintian
           pulseaudio pulseaudio-utils libasound2-plugins e2fsprogs mount util-linux python3-fusepy fuse3)

case "${1:-all}" in
  run) want=("${run_pkgs[@]}") ;;
  all) want=("${run_pkgs[@]}" "${test_pkgs[@]}") ;;
  *) echo "usage: $0 [run|all]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
