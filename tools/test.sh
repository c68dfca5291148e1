#!/usr/bin/env bash
# Builds and runs every test of the server: the unit and end-to-end suites of
# the Linux build, then each further stage tools/test-*.sh that exists
# (sanitizers, fuzzing, the Windows build under Wine). Ends with one summary
# line "N passed, N failed" and a non-zero exit code when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export ZOLT_RESULTS="$root/build/test-results.txt"

bash tools/install-deps.sh || echo "test.sh: carrying on with what is installed"
mkdir -p build
: > "$ZOLT_RESULTS"

status=0
cmake -S . -B build -G Ninja -DZOLT_WERROR=ON > build/configure.log || { cat build/configure.log; exit 1; }
cmake --build build || exit 1
bash tools/run-ctest.sh build linux || status=1

for stage in tools/test-*.sh; do
  [ -e "$stage" ] || continue
  echo "== $stage"
  bash "$stage" || status=1
done

passed=0
failed=0
while read -r name p f; do
  echo "stage $name: $p passed, $f failed"
  passed=$((passed + p))
  failed=$((failed + f))
done < "$ZOLT_RESULTS"
echo "Summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
