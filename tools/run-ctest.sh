#!/usr/bin/env bash
# run-ctest.sh BUILD_DIR STAGE [ctest arguments...]: runs CTest in BUILD_DIR,
# ZOLT_CTEST_JOBS cases at a time (default 2), and appends "STAGE passed
# failed skipped" to $ZOLT_RESULTS for the summary line. A case that skipped
# itself (GTEST_SKIP) counts as skipped, not passed.
set -euo pipefail
dir=$1
stage=$2
shift 2
log=$(mktemp)
rc=0
(cd "$dir" && ctest --output-on-failure -j"${ZOLT_CTEST_JOBS:-2}" "$@") 2>&1 | tee "$log" || rc=$?
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
