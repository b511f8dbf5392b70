#!/usr/bin/env bash
# Packs the Windows build for download: dist/zentrova-VERSION-windows-x64.zip
# with zentrova.exe, the README and the licence (CR LF line ends, for
# Notepad), and dist/zentrova-VERSION-windows-x64.zip.sha256.
#   scripts/dist-windows.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
version=$(sed -n 's/^project(zentrova VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=zentrova-$version-windows-x64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name" dist
cp "$build/src/zentrova.exe" "$stage/$name/"
sed 's/$/\r/' README.md > "$stage/$name/README.txt"
sed 's/$/\r/' LICENSE > "$stage/$name/LICENSE.txt"
rm -f "dist/$name.zip"
(cd "$stage" && zip -q -r -X "$OLDPWD/dist/$name.zip" "$name")
(cd dist && sha256sum "$name.zip" > "$name.zip.sha256")
echo "dist/$name.zip"
cat "dist/$name.zip.sha256"
