#!/usr/bin/env bash
# The Windows stage of tools/test.sh: cross-builds zolt-server.exe and
# zolt-client.exe into build-windows/ (warnings are errors), checks that they
# need no DLL beyond those of Windows itself, makes the operators' zip with
# CPack, and runs the end-to-end suite of the Linux build (build/zolt_e2e)
# against the .exe under Wine. Then it uses the zip as an operator would:
# unpacked, a match started with zolt-start.cmd (its answers piped) and
# played by the Linux zolt-client, and a match of the unpacked zolt-client.exe
# against the Linux server. The Wine prefix lives in build-windows/wineprefix;
# it is set up once and reused, and its Wine server is started once for the
# whole stage. Without Wine it still builds and packs, and says that it
# skipped the rest.
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
lacking=$(missing x86_64-w64-mingw32-g++ x86_64-w64-mingw32-objdump unzip)
if [ -n "$lacking" ]; then
  say "skipped: ${lacking}missing and not installable here (Debian packages" \
    "g++-mingw-w64-x86-64, unzip)"
  exit 0
fi

mkdir -p "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DZOLT_WERROR=ON > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; fail "configure"; }
cmake --build "$dir" --target zolt-server zolt-client || fail "build of the .exe files"
exe="$dir/zolt-server.exe"
# The harness splits the server command at spaces.
[[ "$exe" != *" "* ]] || fail "the path $exe must not contain spaces"

# The operators' machines have Windows and nothing else: the C and C++
# runtimes and the thread library must be inside each .exe.
for program in "$exe" "$dir/client/zolt-client.exe"; do
  name=${program##*/}
  imports=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p') ||
    fail "cannot read $program"
  say "$name imports: $(echo $imports)"
  [ -n "$imports" ] || fail "no import table found in $program"
  for dll in $imports; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | ws2_32.dll | mswsock.dll | user32.dll | advapi32.dll) ;;
      *) fail "$name needs $dll, which Windows does not have" ;;
    esac
  done
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
package=zolt-server-$version-windows-x64
zip_path="$dir/$package.zip"
rm -f "$zip_path"
(cd "$dir" && cpack -G ZIP) > "$dir/cpack.log" 2>&1 || { cat "$dir/cpack.log"; fail "cpack -G ZIP"; }
source tools/check-steps.sh
programs=$(built_programs "$dir")
[ "$programs" = $'client/zolt-client.exe\nzolt-server.exe' ] ||
  fail "the zip's build made more than the two programs (no test, no benchmark): $programs"
listing=$(unzip -Z1 "$zip_path") || fail "$zip_path is not a zip"
for entry in zolt-server.exe zolt-client.exe zolt-start.cmd zolt-keep.cmd README.txt maps/bot.txt \
    maps/dept0.txt maps/dept4.txt; do
  grep -qx "$package/$entry" <<< "$listing" || fail "$entry missing from $zip_path"
done
# Notepad and cmd.exe want CR LF at the end of every line.
for entry in README.txt zolt-start.cmd zolt-keep.cmd; do
  ! unzip -p "$zip_path" "$package/$entry" | grep -qv $'\r$' ||
    fail "$entry in the zip has lines without CR LF"
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

# The end-to-end suite runs in three lanes, three cases at a time: each lane
# is a prefix with a Wine server of its own ($WINEPREFIX, $WINEPREFIX-1, ...),
# and tools/wine-lane.sh starts a case's server in the prefix of the lane
# CTest gave it. With two servers under test side by side in one prefix, a
# connection of one was now and then closed or reset by the Wine side in the
# middle of an exchange (seen in the 200-client case, with nothing in its
# log); each in a prefix of its own they never meet.
lanes=(0 1 2)
lane_prefix() { if [ "$1" = 0 ]; then echo "$WINEPREFIX"; else echo "$WINEPREFIX-$1"; fi; }
for_each_lane() {
  local lane
  for lane in "${lanes[@]}"; do WINEPREFIX=$(lane_prefix "$lane") "$@" || return 1; done
}
stop_wine_server() {
  wineserver -k > /dev/null 2>&1 || true
  wineserver -w > /dev/null 2>&1 || true
}
# A Wine server left over from an earlier run lives in that run's network
# namespace, and so would every socket the server under test makes: each is
# ended, and waited for until it is gone, before a lane's server is started.
start_wine_server() {
  stop_wine_server
  run_detached wineserver -p
}
: > "$dir/wine.log"
for lane in "${lanes[@]}"; do mkdir -p "$(lane_prefix "$lane")"; done
for_each_lane start_wine_server || fail "cannot start the Wine servers (see $dir/wine.log)"
trap 'for_each_lane stop_wine_server' EXIT
# A new prefix is set up; one set up before only starts Wine's services, so
# that no case pays for it. The lanes do this side by side.
boot_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "setting up the Wine prefix $WINEPREFIX"
    run_detached wine wineboot --init
  else
    run_detached wine cmd /c exit
  fi
}
booting=()
for lane in "${lanes[@]}"; do
  WINEPREFIX=$(lane_prefix "$lane") boot_prefix &
  booting+=($!)
done
for pid in "${booting[@]}"; do wait "$pid" || fail "Wine does not start (see $dir/wine.log)"; done

lane_command="$root/tools/wine-lane.sh"
[[ "$lane_command" != *" "* ]] || fail "the path $lane_command must not contain spaces"
export ZOLT_SERVER_COMMAND="$lane_command $exe"
export ZOLT_SERVER_WINDOWS=1
export ZOLT_BOT_ROUTE_FILE="$WINEPREFIX/drive_c/bot.txt"
lanes_file="$dir/wine-lanes.json"
printf '{"version": {"major": 1, "minor": 0}, "local": [{"wine": [%s]}]}\n' \
  "$(for lane in "${lanes[@]}"; do printf '{"id": "%s", "slots": 1},' "$lane"; done | sed 's/,$//')" \
  > "$lanes_file"
# The lanes bound how many cases run at once; CTest's slots are twice as
# many, so that a case weighed double (tests/case_weights.cmake) holds one
# lane, not both.
jobs=$((2 * ${#lanes[@]}))
start=$SECONDS
rc=0
wine_log_lines=$(wc -l < "$dir/wine.log")
ZOLT_CTEST_JOBS=$jobs bash tools/run-ctest.sh "$linux_dir" windows -R '^e2e\.' \
  --resource-spec-file "$lanes_file" || rc=$?
say "end-to-end suite against zolt-server.exe under Wine: $((SECONDS - start)) s"
# Two faults of Wine's own end cases whatever the server under test does.
# A Wine server can fail an assertion (seen once in four runs, while cases
# killed the server under test again and again): every Wine call of that
# moment fails. And a server under test killed while a receive of its was
# under way can leave that connection open in the Wine server, which lists
# it when it stops ("Socket fd=..." beside the dead "Process ... handles=
# (nil)"): the client on the other end then waits on a server that is gone
# (seen once in a run, in a case that kills the server and resumes it). So
# after a failed run the Wine servers are stopped, which makes them list
# what they still held, and only when one of the two is on record are the
# failed cases run once more, on new Wine servers: their outcome there is
# the one counted.
wine_fault_on_record() {
  for_each_lane stop_wine_server
  tail -n +"$((wine_log_lines + 1))" "$dir/wine.log" | grep -qE '^wineserver.*Assertion|: Socket fd='
}
if [ "$rc" -ne 0 ] && wine_fault_on_record; then
  say "a Wine server failed an assertion or kept a killed server's connection" \
    "(in $dir/wine.log): the failed cases run once more on new ones"
  for_each_lane start_wine_server || fail "cannot start the Wine servers again (see $dir/wine.log)"
  rerun=0
  ZOLT_CTEST_JOBS=$jobs bash tools/run-ctest.sh "$linux_dir" windows-again --rerun-failed \
    --resource-spec-file "$lanes_file" || rerun=$?
  if [ "$rerun" -eq 0 ] && [ -n "${ZOLT_RESULTS:-}" ]; then
    # The first run's failures passed on their own Wine server: not counted twice.
    sed -i -E 's/^windows ([0-9]+) [0-9]+ ([0-9]+)$/windows \1 0 \2/' "$ZOLT_RESULTS"
  fi
  rc=$rerun
elif [ "$rc" -ne 0 ]; then
  # Stopped to read what they held: started again for the rest of the stage.
  for_each_lane start_wine_server || fail "cannot start the Wine servers again (see $dir/wine.log)"
fi
start=$SECONDS
ZOLT_E2E_PORT_2000=1 ZOLT_CTEST_JOBS=1 bash tools/run-ctest.sh "$linux_dir" windows-port-2000 || rc=$?
say "the cases of the server started without options, on port 2000, one at a time: $((SECONDS - start)) s"
rm -f "$ZOLT_BOT_ROUTE_FILE"

# The zip as an operator uses it.
passed=0
failed=0
source tools/check-steps.sh
# wait_listening PORT PID: until something listens on PORT, while PID lives.
wait_listening() {
  local i
  for ((i = 0; i < 600; i++)); do
    [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
    kill -0 "$2" 2> /dev/null || return 1
    sleep 0.1
  done
  return 1
}
# table_row OUTPUT PLAYER: "x y" of that player in zolt-client's last table.
table_row() { awk -v p="$2" '$1 == p && NF == 5 { print $2, $3 }' <<< "$1" | tr -d '\r'; }

unpacked="$dir/unpacked"
rm -rf "$unpacked"
mkdir -p "$unpacked"
unzip -q "$zip_path" -d "$unpacked" || fail "unpacking $zip_path"
folder="$unpacked/$package"

# zolt-start.cmd with the three answers typed in (1 human player, 1 CPU
# player, map 0), played by the Linux client. Player 0 starts where
# maps\dept0.txt says (x 100) and the bot walks its route from maps\bot.txt,
# both found beside zolt-start.cmd; nothing may appear on C:. It is started
# by its name in its folder, as an operator types it at a command prompt (a
# name that began with a built-in command's, as start-server.cmd did, would
# run that command instead).
zolt_start_match() {
  local port=2001 out="$dir/zolt-start.out" pid client rc=0
  (cd "$folder" && printf '1\n1\n0\n' | timeout 120 wine cmd /c zolt-start.cmd --port $port) \
    > "$out" 2>&1 &
  pid=$!
  wait_listening $port $pid || { cat "$out"; return 1; }
  client=$(timeout 60 "$linux_dir/client/zolt-client" --clients 1 --turns 20 --port $port) ||
    { echo "$client"; cat "$out"; return 1; }
  wait $pid || rc=$?
  echo "$client"
  tr -d '\r' < "$out" | grep -E 'INFO|exit code'
  # The clients have gone: the match ends with exit code 1, which the
  # command file shows, and passes on once its pause has read the end of input.
  [ "$rc" = 1 ] && grep -q 'exit code 1' "$out" &&
    [ "$(table_row "$client" 0 | cut -d' ' -f1)" = 100 ] &&
    [ -n "$(table_row "$client" 1)" ] && [ "$(table_row "$client" 1)" != "0 0" ] &&
    [ ! -e "$WINEPREFIX/drive_c/bot.txt" ]
}
check "zolt-start.cmd from the unpacked zip runs a match (Linux client)" zolt_start_match

# zolt-keep.cmd: the server killed mid-match (as the Task Manager or a crash
# ends it) is started again by the command file and goes on with its match
# from matches\match.jsonl; a client that joins again gets the next turn.
zolt_keep_match() {
  local port=2003 out="$dir/zolt-keep.out" pid client turns next rc=0 i
  local recording="$folder/matches/match.jsonl"
  rm -rf "$folder/matches"
  (cd "$folder" && timeout 180 wine cmd /c zolt-keep.cmd --port $port --humans 1 --bots 1 \
    --map 0 < /dev/null) > "$out" 2>&1 &
  pid=$!
  wait_listening $port $pid || { cat "$out"; return 1; }
  timeout 120 "$linux_dir/client/zolt-client" --clients 1 --turns 100000000 --port $port \
    > /dev/null 2>&1 &
  client=$!
  for ((i = 0; i < 600; i++)); do
    [ "$(cat "$recording" 2> /dev/null | wc -l)" -ge 20 ] && break
    sleep 0.1
  done
  pkill -KILL -f "zolt-server.exe.*--port $port" || { cat "$out"; return 1; }
  wait $client || true
  turns=$(grep -c '^{"turn": ' "$recording")
  # Listening again once the command file has started the server anew.
  for ((i = 0; i < 600; i++)); do
    grep -q 'match resumed\|INFO --resume: going on' "$out" && break
    sleep 0.1
  done
  wait_listening $port $pid || { cat "$out"; return 1; }
  timeout 60 "$linux_dir/client/zolt-client" --clients 1 --turns 5 --port $port > /dev/null ||
    { cat "$out"; return 1; }
  # The match is over: the command file starts the next one, which waits.
  for ((i = 0; i < 300; i++)); do
    [ -e "$folder/matches/match-1.jsonl" ] && break
    sleep 0.1
  done
  pkill -TERM -f "cmd.*zolt-keep.cmd" || true
  pkill -KILL -f "zolt-server.exe.*--port $port" || true
  wait $pid || rc=$?
  next=$(grep -A1 '^{"restart": ' "$recording" | sed -n 's/^{"turn": \([0-9]*\),.*/\1/p')
  tr -d '\r' < "$out" | grep -E 'INFO (--resume|match)|exit code'
  echo "killed after $turns turns; the turn after the restart mark: $next"
  # Read whole first: a reader that stops at its match would end the writer
  # of a pipe with SIGPIPE, a failure under pipefail.
  local last said
  last=$(tail -n 1 "$recording")
  said=$(tr -d '\r' < "$out")
  [ "$next" = $((turns + 1)) ] || { echo "the restart mark is not followed by turn $((turns + 1))"; return 1; }
  [[ "$last" == '{"end": '* ]] || { echo "the recording's last line is no end: ${last:0:80}"; return 1; }
  [[ "$said" == *"INFO match resumed after turn $turns:"* ]] ||
    { echo "the log does not say the match resumed after turn $turns"; return 1; }
}
check "zolt-keep.cmd starts a killed server again and it goes on with its match" zolt_keep_match

# The unpacked zolt-client.exe against the Linux server.
windows_client_match() {
  local port=2002 out="$dir/linux-server.out" pid client rc=0
  timeout 60 "$linux_dir/zolt-server" --humans 1 --bots 0 --map 0 --port $port --bot-file maps/bot.txt \
    --maps-dir maps < /dev/null > "$out" 2>&1 &
  pid=$!
  wait_listening $port $pid || { cat "$out"; return 1; }
  client=$(timeout 120 wine "$folder/zolt-client.exe" --clients 1 --turns 20 --port $port) ||
    { echo "$client"; kill $pid; cat "$out"; return 1; }
  wait $pid || rc=$?
  echo "$client"
  [ "$rc" = 1 ] && [ "$(table_row "$client" 0 | cut -d' ' -f1)" = 100 ]
}
check "zolt-client.exe from the unpacked zip plays against the Linux server" windows_client_match

[ -n "${ZOLT_RESULTS:-}" ] && echo "windows-package $passed $failed" >> "$ZOLT_RESULTS"
[ "$failed" = 0 ] || rc=1
exit $rc
