#!/usr/bin/env bash
# Installs the Debian packages that building and testing floatrec need. It
# never removes a package: on a desktop whose sound runs through PipeWire
# (pipewire-alsa installed), PulseAudio, which conflicts with it, is left out
# and the tests use PipeWire alone.
# Usage: scripts/install-deps.sh [run|all]   (run: only what building the recorder needs)
set -euo pipefail

run_pkgs=(g++ cmake make pkg-config libasound2-dev libsystemd-dev sox)
# The tests also record through private PulseAudio and PipeWire servers (the
# pulse plugin, pactl and pacat, WirePlumber on a private D-Bus session),
# freeze and fill small file systems (e2fsprogs, mount, util-linux's
# fsfreeze), cut the power of a FUSE file system (python3-fusepy, fuse3), save
# takes on exFAT through FUSE (exfat-fuse, exfatprogs), lock on btrfs, run
# as another user (util-linux's setpriv), ask a stand-in real-time broker on
# a private system bus (python3-dbus, python3-gi), measure the finish on xfs
# (xfsprogs) and check the package (lintian) and its completion
# (bash-completion).
test_pkgs=(libgtest-dev libgmock-dev libsndfile1-dev ffmpeg strace valgrind libbenchmark-dev
           clang libclang-rt-14-dev groff man-db file time lintian
           pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-pulse wireplumber dbus-daemon
           e2fsprogs mount util-linux python3-fusepy fuse3 exfat-fuse exfatprogs btrfs-progs xfsprogs
           python3-dbus python3-gi bash-completion fusefat dosfstools)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

case "${1:-all}" in
  run) want=("${run_pkgs[@]}") ;;
  all) want=("${run_pkgs[@]}" "${test_pkgs[@]}") ;;
  *) echo "usage: $0 [run|all]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
  if [ "$pkg" = pulseaudio ] && installed pipewire-alsa; then
    echo "leaving pulseaudio out: it conflicts with the installed pipewire-alsa" >&2
    continue
  fi
  installed "$pkg" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends --no-remove "${missing[@]}"
