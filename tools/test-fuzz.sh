#!/usr/bin/env bash
# Stage of tools/test.sh: builds the libFuzzer targets of fuzz/ in
# build-sanitize/ (clang, AddressSanitizer, UBSan; the tree the sanitized
# suite uses too, tools/sanitized-tree.sh) and runs each one for a short
# time from its seed corpus in fuzz/corpus/<target>/, which every run first
# replays in full, crashes found earlier included. One line per target goes
# to $ZOLT_RESULTS.
#
#   ZOLT_FUZZ_SECONDS=N   seconds per target (default 8); fuzz/README.md has
#                         the longer run
#   tools/test-fuzz.sh [TARGET...]   only these targets (message, data_files,
#                         dialogue, bot_step, turn_exchange, options, view_ledger,
#                         save_line, line_reader, rcon, query, last_start)
#
# New inputs go to build-sanitize/corpus/<target>/, crashing ones to
# build-sanitize/artifacts/<target>/; fuzz/corpus/ is only read.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build-sanitize
seconds=${ZOLT_FUZZ_SECONDS:-8}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(message data_files dialogue bot_step turn_exchange options view_ledger save_line line_reader rcon query last_start)

record() { [ -n "${ZOLT_RESULTS:-}" ] && echo "$1 $2 $3" >> "$ZOLT_RESULTS"; return 0; }

# libFuzzer comes with clang's runtime libraries; without them there is
# nothing to run, which is not a failure of the server.
source tools/sanitized-tree.sh
configured=0
sanitized_tree_configure "$root" || configured=$?
if [ "$configured" -eq 1 ]; then
  echo "test-fuzz: configuring $dir failed"
  record fuzz 0 1
  exit 1
elif [ -z "$sanitized_fuzz" ]; then
  echo "test-fuzz: $sanitized_no_fuzz; the fuzz targets cannot run"
  exit 0
fi
if ! cmake --build "$dir" --target "${targets[@]/#/fuzz_}"; then
  echo "test-fuzz: building $dir failed"
  record fuzz 0 1
  exit 1
fi

# A target that crashes cannot clean up its temporary files: keep them here.
export TMPDIR="$root/$dir/tmp"
mkdir -p "$TMPDIR"
# A sanitizer finding is a crash to libFuzzer, which then keeps the input.
export ASAN_OPTIONS="detect_leaks=1:handle_abort=1:disable_coredump=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# One target's run; its line (and, on a crash, what it found) goes to
# $dir/fuzz_TARGET.result, printed in order once every run is done.
run_target() {
  local target=$1
  local binary="$root/$dir/fuzz/fuzz_$target"
  local seeds="$root/fuzz/corpus/$target"
  local corpus="$root/$dir/corpus/$target"
  local artifacts="$root/$dir/artifacts/$target"
  local log="$root/$dir/fuzz_$target.log"
  local result="$root/$dir/fuzz_$target.result"
  if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
    echo "test-fuzz: no target or no seed corpus for '$target'" > "$result"
    record "fuzz-$target" 0 1
    return 1
  fi
  mkdir -p "$corpus" "$artifacts"
  # Paths are absolute: a target may work in a directory of its own.
  # -timeout catches a single input that hangs; the outer timeout, a run
  # that does not stop.
  local rc=0
  timeout -s KILL $((seconds + 120)) "$binary" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds" > "$log" 2>&1 || rc=$?
  local runs
  runs=$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}' || true)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} inputs in ${seconds}s, no crash" > "$result"
    record "fuzz-$target" 1 0
  else
    {
      echo "fuzz $target: FAILED (exit code $rc); inputs kept in $artifacts:"
      ls "$artifacts"
      grep -v -E '^#[0-9]+' "$log" | tail -n 60 || true
    } > "$result"
    record "fuzz-$target" 0 1
    return 1
  fi
}

# Each target runs on one processor: as many side by side as there are
# (each keeps its full time), the machine's processors busy instead of one.
parallel=$(nproc 2> /dev/null || echo 1)
for target in "${targets[@]}"; do
  rm -f "$root/$dir/fuzz_$target.result"
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_target "$target" &
done
wait
status=0
for target in "${targets[@]}"; do
  result="$root/$dir/fuzz_$target.result"
  if [ -f "$result" ]; then
    cat "$result"
    grep -q ', no crash$' "$result" || status=1
  else
    echo "fuzz $target: FAILED (the run left no result)"
    record "fuzz-$target" 0 1
    status=1
  fi
done
exit $status
