#!/bin/sh
# The service template as built: systemd takes it (systemd-analyze verify,
# where systemd is installed), and floatrec takes the arguments it runs with
# (a run from them gets past its usage checks to the device, which is none
# here: status 1, not a usage error's 2).
# Usage: service_check.sh BUILD_DIR
build=$(cd "$1" && pwd) || exit 1
unit=$build/floatrec@.service
[ -f "$unit" ] || { echo "no $unit"; exit 1; }
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
args=$(sed -n 's/^ExecStart=[^ ]* //p' "$unit" | sed 's/%%/%/g')
[ -n "$args" ] || { echo "no ExecStart in $unit"; exit 1; }
mkdir -p "$scratch/home" "$scratch/dir"
printf 'pcm.!default { type hw card 99 }\n' > "$scratch/home/.asoundrc"
# shellcheck disable=SC2086
(cd "$scratch/dir" && HOME="$scratch/home" "$build/floatrec" $args 2> "$scratch/err")
status=$?
if [ "$status" -ne 1 ] || grep -q "usage\|takes a\|needs" "$scratch/err"; then
    echo "floatrec $args: status $status"; cat "$scratch/err"; exit 1
fi
if ! command -v systemd-analyze > /dev/null; then
    echo "systemd-analyze is not installed: the unit itself is not verified"
    exit 77
fi
sed "s|^ExecStart=[^ ]*|ExecStart=$build/floatrec|" "$unit" > "$scratch/floatrec@.service"
# (A line it prints is a directive it ignored.)
said=$(cd "$scratch" && systemd-analyze verify --man=no "floatrec@srv-recordings.service" 2>&1) || { echo "$said"; exit 1; }
[ -z "$said" ] || { echo "$said"; exit 1; }
echo "floatrec@.service verified; floatrec takes: $args"
