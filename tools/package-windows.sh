#!/usr/bin/env bash
# package-windows.sh [BUILD_DIR]: puts the Windows server of BUILD_DIR
# (default build-windows) into one zip for the operators, beside the .exe:
#   zolt-server-<version>-windows-x64/zolt-server.exe
#   zolt-server-<version>-windows-x64/README.txt    (docs/windows.md)
#   zolt-server-<version>-windows-x64/maps/...      (the sample data files)
# Prints the zip's path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=$(cd "${1:-build-windows}" && pwd)

exe="$dir/zolt-server.exe"
[ -f "$exe" ] || { echo "package-windows: $exe is missing: build it first" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "package-windows: no project version in $dir/CMakeCache.txt" >&2; exit 1; }

name="zolt-server-$version-windows-x64"
stage="$dir/package/$name"
zip_path="$dir/$name.zip"
rm -rf "$dir/package" "$zip_path"
mkdir -p "$stage/maps"
cp "$exe" "$stage/"
# Text for Windows editors: CR LF line ends.
sed 's/$/\r/' docs/windows.md > "$stage/README.txt"
cp maps/bot.txt maps/dept*.txt "$stage/maps/"

(cd "$dir/package" && zip -q -r -X "$zip_path" "$name")
echo "$zip_path"
