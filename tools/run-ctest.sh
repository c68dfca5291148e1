#!/usr/bin/env bash
# run-ctest.sh BUILD_DIR STAGE [ctest arguments...]: runs CTest in BUILD_DIR
# and appends "STAGE passed failed" to $ZOLT_RESULTS for the summary line.
set -uo pipefail
dir=$1
stage=$2
shift 2
log=$(mktemp)
(cd "$dir" && ctest --output-on-failure -j2 "$@") 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<< "$line")
failed=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<< "$line")
if [ -z "$line" ]; then total=0; failed=1; fi
rm -f "$log"
[ -n "${ZOLT_RESULTS:-}" ] && echo "$stage $((total - failed)) $failed" >> "$ZOLT_RESULTS"
exit $rc
