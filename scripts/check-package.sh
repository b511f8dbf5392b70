#!/usr/bin/env bash
# Installs the Debian package made by `make package`, checks it as a user
# meets it, and removes it again, checking that nothing is left behind:
#   scripts/check-package.sh [dist/zentrova_VERSION_ARCH.deb]
# Needs root (dpkg -i); the package's dependencies must be installed already
# (they are, on a machine that built it).
set -euo pipefail

deb=${1:-$(ls -t dist/zentrova_*_"$(dpkg --print-architecture)".deb | head -n 1)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

if dpkg-query -W zentrova > /dev/null 2>&1; then
  fail "a zentrova package is installed already; remove it first (dpkg -r zentrova)"
fi
echo "== dpkg -i $deb"
dpkg -i "$deb"
dpkg -L zentrova > "$work/files"

echo "== zentrova --version"
version=$(/usr/bin/zentrova --version | head -n 1)
echo "$version"
[ "$version" = "zentrova $(dpkg-query -W -f='${Version}' zentrova)" ] ||
  fail "the program's version is not the package's"

echo "== man -w zentrova zentrova-gui"
man -w zentrova zentrova-gui
for command in new resume bench pack report rebuild tbf merge; do
  man -P cat zentrova 2>/dev/null | grep -q "zentrova $command \[OPTIONS\]" ||
    fail "man zentrova has no section for '$command'"
done

echo "== bash completion: zentrova new --<Tab>"
offered=$(bash -c 'source /usr/share/bash-completion/completions/zentrova
  COMP_WORDS=(zentrova new --); COMP_CWORD=2; _zentrova_complete; echo "${COMPREPLY[*]}"')
echo "$offered"
for option in --exponent --bmin --bmax --factors-out --sieve-out --p-max --stop-rate; do
  [[ " $offered " == *" $option "* ]] || fail "completion of 'zentrova new --' lacks $option"
done

echo "== desktop entry and metainfo"
if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate /usr/share/applications/zentrova.desktop
fi
appstreamcli validate --no-net /usr/share/metainfo/org.zentrova.Zentrova.metainfo.xml

echo "== a short sieve from /usr/bin"
(cd "$work" && /usr/bin/zentrova new --exponent 1024 --bmin 2 --bmax 2000 --p-max 1e7 \
  --factors-out f.txt --sieve-out c.txt)
grep -q "^ABC " "$work/c.txt" || fail "the sieve wrote no candidate file"

echo "== dpkg -r zentrova"
dpkg -r zentrova
left=0
while read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path" >&2
    left=1
  fi
done < "$work/files"
[ "$left" -eq 0 ] || fail "files of the package are left after dpkg -r"
echo "check-package: $deb installs, works and removes cleanly"
