#!/usr/bin/env bash
# Builds and runs every test of the server: the unit and end-to-end suites of
# the Linux build, then each further stage tools/test-*.sh that exists
# (sanitizers, fuzzing, the soak, the Windows build under Wine). Ends with one
# summary line "N passed, N failed, N skipped" and a non-zero exit code when
# anything failed.
#
#   tools/test.sh --quick   only the Linux build and its suite (a few
#                           minutes), for the edit-compile-test loop
#
# Run as root, it installs what every stage needs first (the network is
# needed for that), then runs the stages in a private network namespace with
# only loopback up, so that nothing else on the machine can hold or meet the
# ports the cases use.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=""
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: tools/test.sh [--quick]" >&2; exit 2 ;;
esac

if [ -z "${ZOLT_IN_NETNS:-}" ]; then
  deps=(windows)
  [ -n "$quick" ] && deps=()
  bash tools/install-deps.sh "${deps[@]}" || echo "test.sh: carrying on with what is installed"
  # Installed as root above: the remote console's case must find its npm
  # client then, rather than skip.
  [ "$(id -u)" = 0 ] && export ZOLT_NODE_REQUIRED=1
  if [ "$(id -u)" = 0 ] && command -v unshare > /dev/null && command -v ip > /dev/null; then
    export ZOLT_IN_NETNS=1
    exec unshare -n bash -c 'ip link set lo up && exec bash tools/test.sh "$@"' test.sh "$@"
  fi
  echo "test.sh: not root (or no unshare/ip): the suites share this machine's network"
fi

export ZOLT_RESULTS="$root/build/test-results.txt"
mkdir -p build
: > "$ZOLT_RESULTS"

status=0
# Ninja for a new build folder; one configured by hand keeps its generator
# (the package stage builds with the default one).
generator=(-G Ninja)
[ -f build/CMakeCache.txt ] && generator=()
cmake -S . -B build "${generator[@]}" -DZOLT_WERROR=ON > build/configure.log ||
  { cat build/configure.log; exit 1; }
cmake --build build -j2
bash tools/run-ctest.sh build linux || status=1
timings="linux build and suite: $SECONDS s"

if [ -z "$quick" ]; then
  # The server's own end-to-end cases once more against the server started as
  # it always was, without options, on port 2000: one at a time.
  start=$SECONDS
  ZOLT_E2E_PORT_2000=1 ZOLT_CTEST_JOBS=1 bash tools/run-ctest.sh build linux-port-2000 || status=1
  timings+=$'\n'"linux-port-2000: $((SECONDS - start)) s"
  for stage in tools/test-*.sh; do
    echo "== $stage"
    start=$SECONDS
    bash "$stage" || status=1
    timings+=$'\n'"$stage: $((SECONDS - start)) s"
  done
fi
echo "$timings"

passed=0
failed=0
skipped=0
while read -r name p f s; do
  s=${s:-0}
  echo "stage $name: $p passed, $f failed, $s skipped"
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
done < "$ZOLT_RESULTS"
echo "Summary: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] || status=1
exit $status
