#!/usr/bin/env bash
# The package stage of tools/test.sh: builds the .deb the way an operator
# would (cpack -G DEB in build-package/), with CMake's default generator, as
# the other stages build with Ninja; checks it with lintian, installs it
# with dpkg (the machine is meant to be a throwaway), runs the installed
# zolt-server --version, looks up its man page, checks the service unit with
# systemd-analyze verify where that exists, and removes the package.
#   test-package.sh [BUILD_DIR]   (build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir="$root/${1:-build-package}"

say() { echo "test-package: $*"; }
passed=0
failed=0
skipped=0
record() {
  [ -n "${ZOLT_RESULTS:-}" ] && echo "package $passed $failed $skipped" >> "$ZOLT_RESULTS"
  return 0
}
source tools/check-steps.sh

bash tools/install-deps.sh || true
lacking=""
for tool in cmake cpack make dpkg dpkg-deb dpkg-shlibdeps help2man lintian man; do
  command -v "$tool" > /dev/null || lacking+="$tool "
done
if [ "$(id -u)" != 0 ]; then
  lacking+="root "
fi
if [ -n "$lacking" ]; then
  say "skipped: ${lacking}missing (Debian packages dpkg-dev, help2man, lintian," \
    "man-db; installing the package needs root)"
  exit 0
fi

# A folder another generator made cannot be configured for this one.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Unix Makefiles$' \
  "$dir/CMakeCache.txt"; then
  rm -rf "$dir"
fi
build_package() {
  mkdir -p "$dir" &&
    cmake -S . -B "$dir" -DZOLT_BUILD_TESTS=OFF -DZOLT_WERROR=ON > "$dir/configure.log" 2>&1 &&
    rm -rf "$dir/package-files" &&
    cmake --build "$dir" -j2 &&
    # Packaging files are made by cpack, not by a build.
    [ ! -e "$dir/package-files" ] &&
    rm -f "$dir"/*.deb &&
    (cd "$dir" && cpack -G DEB) &&
    deb=$(ls "$dir"/zolt-server_*.deb) &&
    dpkg-deb -f "$deb" Package Version Depends &&
    # The computed dependencies: the C and C++ runtimes at least.
    dpkg-deb -f "$deb" Depends | grep -q 'libc6'
}
deb=""
check "the package builds, with its dependencies computed" build_package
if [ -z "$deb" ]; then
  [ -f "$dir/configure.log" ] && cat "$dir/configure.log"
  record
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")

# lintian refuses to run as root without this; it only reads the .deb.
only_the_programs() {
  local built
  built=$(built_programs "$dir")
  echo "$built"
  [ "$built" = $'client/zolt-client\nzolt-server' ]
}
check "the package's build made the two programs only, no test or benchmark" only_the_programs
check "lintian finds no error" lintian --allow-root --fail-on error "$deb"

trap 'dpkg -r zolt-server > /dev/null 2>&1 || true' EXIT
# A minimal Debian may exclude man pages from every install: not these.
check "dpkg installs it" dpkg --path-include='/usr/share/man/man6/zolt-*' -i "$deb"
installed_version() {
  local out
  out=$(/usr/bin/zolt-server --version) && echo "$out" && [ "$out" = "zolt-server $version" ]
}
check "the installed zolt-server --version says $version" installed_version
check "man finds the man pages" man -w zolt-server zolt-client

# Run from a folder without maps, as an operator would from home, the
# installed server reads the sample maps from /usr/share/zolt-server/maps.
finds_its_maps() {
  local out rc=0
  out=$(cd / && printf 'k\nk\nk\n' | /usr/bin/zolt-server --humans 0 --bots 1 --map 0 2>&1) || rc=$?
  grep -E 'INFO|WARN' <<< "$out"
  [ "$rc" = 0 ] && grep -q "INFO bot route file '/usr/share/zolt-server/maps/bot.txt'" <<< "$out" &&
    ! grep -q 'Erreur lors du chargement des bots' <<< "$out"
}
check "the installed zolt-server finds its maps from any folder" finds_its_maps

if command -v systemd-analyze > /dev/null; then
  verify_unit() {
    local out rc=0
    out=$(systemd-analyze verify zolt-server@lan1.service 2>&1) || rc=$?
    [ -n "$out" ] && echo "$out"
    # Some complaints only warn ("..., ignoring") and leave the exit code 0.
    [ "$rc" = 0 ] && ! grep -q 'zolt-server@' <<< "$out"
  }
  check "systemd-analyze verify accepts the unit" verify_unit
else
  say "skipped the unit check: no systemd-analyze here"
  skipped=$((skipped + 1))
fi

removed() { dpkg -r zolt-server && [ ! -e /usr/bin/zolt-server ]; }
check "dpkg removes it" removed
trap - EXIT

record
[ "$failed" = 0 ]
