#!/usr/bin/env bash
# run-ctest.sh BUILD_DIR STAGE [ctest arguments...]: runs CTest in BUILD_DIR,
# ZOLT_CTEST_JOBS cases at a time (default 8: most cases wait on a server far
# more than they compute; tests/case_weights.cmake weighs those that do not),
# and appends "STAGE passed failed skipped" to $ZOLT_RESULTS for the summary
# line. A case that skipped itself (GTEST_SKIP) counts as skipped, not
# passed.
#
# With ZOLT_E2E_PORT_2000=1 (the server started as it always was, with no
# option, on port 2000) only the cases that this start can change run: the
# link, the console's questions and ends, the port taken, the data files read
# from the working folder and the bots seen by clients. The other cases start
# the server with the options they are about, or judge what a client does
# whatever the port (a client's faults); run again on port 2000 they would
# find nothing the run on a port of their own did not.
set -euo pipefail
dir=$1
stage=$2
shift 2
if [ "${ZOLT_E2E_PORT_2000:-}" = 1 ]; then
  set -- "$@" -R '^e2e\.(Link|Console|BotsSeenByClients|AtEachQuestion/ConsoleEnds|ByAnotherProgram/PortTaken|Reads/(RouteFile|StartFile))\.'
fi
log=$(mktemp)
rc=0
(cd "$dir" && ctest --output-on-failure -j"${ZOLT_CTEST_JOBS:-8}" "$@") 2>&1 | tee "$log" || rc=$?
line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
if [ -z "$line" ]; then
  total=0
  failed=1
else
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<< "$line")
  failed=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<< "$line")
fi
skipped=$(grep -cE 'Test +#[0-9]+: .*Skipped +[0-9.]+ sec' "$log" || true)
rm -f "$log"
if [ -n "${ZOLT_RESULTS:-}" ]; then
  echo "$stage $((total - failed - skipped)) $failed $skipped" >> "$ZOLT_RESULTS"
fi
exit $rc
