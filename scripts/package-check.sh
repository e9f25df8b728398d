#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR, installs it with dpkg and checks
# the installed program and manual page.
# Usage: scripts/package-check.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/floatrec_*.deb | head -n 1)
echo "built $(basename "$deb")"
dpkg-deb --info "$deb" | grep -E 'Depends|Package|Version'
# What Debian would say of it: no error allowed.
lintian_log=$(mktemp)
lintian --fail-on error "$deb" >"$lintian_log" 2>&1 || { cat "$lintian_log" >&2; rm -f "$lintian_log"; exit 1; }
grep -v 'running with root privileges' "$lintian_log" || true
rm -f "$lintian_log"
echo "lintian: no error"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Minimal images tell dpkg to leave manual pages out; this package's page must go in.
"${sudo[@]}" dpkg -i --path-include='/usr/share/man/man1/floatrec*' "$deb" >/dev/null
test "$(command -v floatrec)" = /usr/bin/floatrec
/usr/bin/floatrec --version
man -w floatrec
man -P cat floatrec 2>/dev/null | grep -q 'EXIT STATUS'
# Bash completes the options, where Debian's bash-completion finds them.
test -f /usr/share/bash-completion/completions/floatrec
bash -c 'source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/floatrec
  COMP_WORDS=(floatrec --ou); COMP_CWORD=1; COMP_LINE="floatrec --ou"; COMP_POINT=${#COMP_LINE}
  _floatrec floatrec --ou floatrec; [ "${COMPREPLY[*]}" = --output ]' || { echo "bash completion does not complete --output" >&2; exit 1; }
# --help names every file and option that the page documents.
for word in target.wav 00000.raw buffer.dat raw_my.dat --help --version 'Exit status' --output --device; do
  /usr/bin/floatrec --help | grep -qF -- "$word" || { echo "--help does not mention $word" >&2; exit 1; }
done
echo "package installs: floatrec, its manual page and its bash completion"
