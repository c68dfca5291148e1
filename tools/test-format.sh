#!/usr/bin/env bash
# The format stage of tools/test.sh: fails when clang-format (with the
# project's .clang-format) would change any tracked .cc or .h file, and
# lists the files and lines. The tree is kept formatted with Debian 12's
# clang-format 14; run `clang-format -i` on the files it names.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "test-format: $*"; }
record() { if [ -n "${ZOLT_RESULTS:-}" ]; then echo "format $1 $2" >> "$ZOLT_RESULTS"; fi; }

if ! command -v clang-format > /dev/null || ! git rev-parse --git-dir > /dev/null 2>&1; then
  say "skipped: needs clang-format (Debian package clang-format) and a git work tree"
  exit 0
fi
mapfile -t files < <(git ls-files '*.cc' '*.h')
if clang-format --dry-run --Werror "${files[@]}"; then
  say "ok: ${#files[@]} files formatted"
  record 1 0
else
  say "FAILED: clang-format would change the files above"
  record 0 1
  exit 1
fi
