#!/usr/bin/env bash
# The Windows stage of tools/test.sh: cross-builds zolt-server.exe into
# build-windows/ (warnings are errors), checks that it needs no DLL beyond
# those of Windows itself, packs the zip for the operators, and runs the
# end-to-end suite of the Linux build (build/zolt_e2e) against the .exe under
# Wine. The Wine prefix lives in build-windows/wineprefix; it is set up once
# and reused, and its Wine server is started once for the whole suite.
# Without Wine it still builds and packs, and says that it skipped the suite.
#   test-windows.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]   (build, build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
linux_dir="$root/${1:-build}"
dir="$root/${2:-build-windows}"

say() { echo "test-windows: $*"; }
# A step of our own that failed: counted in the summary, stage fails.
fail() {
  say "FAILED: $*"
  [ -n "${ZOLT_RESULTS:-}" ] && echo "windows-build 0 1" >> "$ZOLT_RESULTS"
  exit 1
}

bash tools/install-deps.sh windows || true
missing() {
  local tool
  for tool in "$@"; do command -v "$tool" > /dev/null || echo -n "$tool "; done
}
lacking=$(missing x86_64-w64-mingw32-g++ x86_64-w64-mingw32-objdump zip)
if [ -n "$lacking" ]; then
  say "skipped: ${lacking}missing and not installable here (Debian packages" \
    "g++-mingw-w64-x86-64, zip)"
  exit 0
fi

mkdir -p "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DZOLT_WERROR=ON > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; fail "configure"; }
cmake --build "$dir" --target zolt-server || fail "build of zolt-server.exe"
exe="$dir/zolt-server.exe"
# The harness splits the server command at spaces.
[[ "$exe" != *" "* ]] || fail "the path $exe must not contain spaces"

# The operators' machines have Windows and nothing else: the C and C++
# runtimes and the thread library must be inside the .exe.
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
say "zolt-server.exe imports: $(echo $imports)"
[ -n "$imports" ] || fail "no import table found in $exe"
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ws2_32.dll | mswsock.dll | user32.dll | advapi32.dll) ;;
    *) fail "zolt-server.exe needs $dll, which Windows does not have" ;;
  esac
done

zip_path=$(bash tools/package-windows.sh "$dir") || fail "packaging"
listing=$(zip -sf "$zip_path")
for entry in zolt-server.exe README.txt maps/bot.txt maps/dept0.txt; do
  grep -q "/$entry\$" <<< "$listing" || fail "$entry missing from $zip_path"
done
say "package: $zip_path"

lacking=$(missing wine wineserver)
if [ -n "$lacking" ]; then
  say "skipped the end-to-end suite under Wine: ${lacking}missing and not" \
    "installable here (Debian packages wine, wine64)"
  exit 0
fi
[ -x "$linux_dir/zolt_e2e" ] ||
  fail "$linux_dir/zolt_e2e is missing: build the Linux tree first (tools/test.sh does)"

export WINEPREFIX="$dir/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No installer of Windows components in a prefix that only runs the server.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Wine's own background processes live on after this script's commands. They
# must not hold on to what this script inherited (a lock, the output pipe of
# whoever runs the tests), so they are started with those closed.
run_detached() {
  (
    for fd in /proc/$BASHPID/fd/*; do
      n=${fd##*/}
      [ "$n" -gt 2 ] && { eval "exec $n>&-"; } 2> /dev/null
    done
    exec "$@" < /dev/null >> "$dir/wine.log" 2>&1
  )
}

mkdir -p "$WINEPREFIX"
: > "$dir/wine.log"
# A Wine server left over from an earlier run lives in that run's network
# namespace, and so would every socket the server under test makes: end it
# and wait until it is gone.
wineserver -k > /dev/null 2>&1 || true
wineserver -w > /dev/null 2>&1 || true
run_detached wineserver -p || fail "cannot start the Wine server (see $dir/wine.log)"
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "setting up the Wine prefix $WINEPREFIX"
  run_detached wine wineboot --init || fail "Wine prefix set-up (see $dir/wine.log)"
else
  # Starts Wine's services once, so that no case pays for it.
  run_detached wine cmd /c exit || fail "Wine does not start (see $dir/wine.log)"
fi

export ZOLT_SERVER_COMMAND="wine $exe"
export ZOLT_SERVER_WINDOWS=1
export ZOLT_BOT_ROUTE_FILE="$WINEPREFIX/drive_c/bot.txt"
start=$SECONDS
rc=0
bash tools/run-ctest.sh "$linux_dir" windows -R '^e2e\.' || rc=$?
say "end-to-end suite against zolt-server.exe under Wine: $((SECONDS - start)) s"
start=$SECONDS
ZOLT_E2E_PORT_2000=1 ZOLT_CTEST_JOBS=1 bash tools/run-ctest.sh "$linux_dir" windows-port-2000 \
  -R '^e2e\.' || rc=$?
say "the same, started without options on port 2000, one at a time: $((SECONDS - start)) s"
rm -f "$ZOLT_BOT_ROUTE_FILE"
exit $rc
