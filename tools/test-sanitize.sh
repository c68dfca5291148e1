#!/usr/bin/env bash
# Stage of tools/test.sh: the whole test suite built a second time, in
# build-sanitize/, with AddressSanitizer and UndefinedBehaviorSanitizer, and
# run through CTest. The end-to-end cases of that build start its own server
# binary, so a memory error, a leak or undefined behaviour in the server
# process fails them as well as one in the tests themselves.
#
# Every sanitizer finding ends the process with exit code 86 (no server exit
# code is 86: 0, 1 and 2 are the server's own) and leaves a report file in
# build-sanitize/sanitizer-reports/. Cases that end the server with SIGKILL
# never see its exit code, so after CTest any report file there fails the
# stage too, and its text is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build-sanitize

record() { [ -n "${ZOLT_RESULTS:-}" ] && echo "$1 $2 $3" >> "$ZOLT_RESULTS"; return 0; }

source tools/sanitized-tree.sh
configured=0
sanitized_tree_configure "$root" || configured=$?
if [ "$configured" -eq 2 ]; then
  echo "test-sanitize: $sanitized_no_fuzz; the sanitized suite cannot run"
  exit 0
elif [ "$configured" -ne 0 ]; then
  echo "test-sanitize: configuring $dir failed"
  record sanitize 0 1
  exit 1
fi
compiler=$sanitized_compiler
flags=$sanitized_flags
# What the suite runs; the benchmarks are built (and their code checked) by
# the plain build.
if ! cmake --build "$dir" --target zolt-server zolt-client zolt_tests zolt_e2e; then
  echo "test-sanitize: building $dir failed"
  record sanitize 0 1
  exit 1
fi

reports="$root/$dir/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
common="exitcode=86:log_path=$reports/report:handle_abort=1:disable_coredump=1"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="$common:halt_on_error=1:print_stacktrace=1"
# The end-to-end cases must start this build's server, not a command or
# route file meant for another stage.
unset ZOLT_SERVER_COMMAND ZOLT_SERVER_WINDOWS ZOLT_BOT_ROUTE_FILE

# The findings only count if the options above really turn into exit code 86
# and a report file with this compiler: check on a program with one overflow.
canary="$root/$dir/sanitizer-canary"
printf '%s\n' '#include <climits>' \
  'int main(int argc, char**) { volatile int big = INT_MAX; return big + argc; }' \
  > "$canary.cc"
canary_ok=0
if "$compiler" $flags "$canary.cc" -o "$canary" 2> /dev/null; then
  rc=0
  "$canary" || rc=$?
  if [ "$rc" -eq 86 ] && compgen -G "$reports/report.*" > /dev/null; then canary_ok=1; fi
  rm -f "$reports"/report.*
fi
if [ "$canary_ok" -ne 1 ]; then
  echo "test-sanitize: a sanitizer finding does not give exit code 86 and a report file;" \
    "the sanitized suite would not notice faults"
  record sanitize-reports 0 1
  exit 1
fi

status=0
bash tools/run-ctest.sh "$dir" sanitize || status=1

shopt -s nullglob
found=("$reports"/report.*)
if [ ${#found[@]} -eq 0 ]; then
  record sanitize-reports 1 0
else
  echo "test-sanitize: ${#found[@]} sanitizer report(s) in $reports:"
  shown=0
  for report in "${found[@]}"; do
    echo "---- $report"
    # One fault tends to fail many cases alike: the first few reports in
    # full, then the first line of each.
    if [ $shown -lt 5 ]; then
      head -n 60 "$report"
    else
      grep -m 1 -E 'ERROR|runtime error' "$report" || head -n 1 "$report"
    fi
    shown=$((shown + 1))
  done
  record sanitize-reports 0 1
  status=1
fi
exit $status
