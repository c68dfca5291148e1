#!/usr/bin/env bash
# The format stage of tools/test.sh: fails when clang-format (with the
# project's .clang-format) would change any tracked .cc or .h file, and
# lists the files and lines, or when the live view's script does not parse.
# The tree is kept formatted with Debian 12's clang-format 14; run
# `clang-format -i` on the files it names.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "test-format: $*"; }
record() { if [ -n "${ZOLT_RESULTS:-}" ]; then echo "$1 $2 $3" >> "$ZOLT_RESULTS"; fi; }

if ! command -v clang-format > /dev/null || ! git rev-parse --git-dir > /dev/null 2>&1; then
  say "skipped: needs clang-format (Debian package clang-format) and a git work tree"
  exit 0
fi
status=0
mapfile -t files < <(git ls-files '*.cc' '*.h')
if clang-format --dry-run --Werror "${files[@]}"; then
  say "ok: ${#files[@]} files formatted"
  record format 1 0
else
  say "FAILED: clang-format would change the files above"
  record format 0 1
  status=1
fi

# The live view's script, read by Node.js's own parser: a syntax error there
# would otherwise show only in a browser.
if ! command -v node > /dev/null; then
  say "skipped: the page's script needs Node.js (Debian package nodejs) to be checked"
elif node --check view/page.js; then
  say "ok: view/page.js parses"
  record page-script 1 0
else
  say "FAILED: view/page.js does not parse"
  record page-script 0 1
  status=1
fi
exit $status
