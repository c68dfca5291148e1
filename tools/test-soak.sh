#!/usr/bin/env bash
# The soak stage of tools/test.sh: a shortened soak (3000 turns, 4 humans and
# 16 bots, well under a minute) against the server built in build/. It fails
# when the server's own memory or its descriptors after the last turn differ
# from those after the first, when a client's table is wrong, or when the
# server does not end with exit code 1 at the closing protocol break.
# The full run is: build/zolt-soak --turns 20000 (see docs/reliability.md).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
turns=${ZOLT_SOAK_TURNS:-3000}

say() { echo "test-soak: $*"; }
record() { if [ -n "${ZOLT_RESULTS:-}" ]; then echo "soak $1 $2" >> "$ZOLT_RESULTS"; fi; }

if [ "$(uname -s)" != Linux ]; then
  say "skipped: the soak reads the server's figures from /proc, which only Linux has"
  exit 0
fi
if ! cmake --build "$dir" --target zolt-soak > "$dir/soak-build.log" 2>&1; then
  cat "$dir/soak-build.log"
  say "FAILED: cannot build zolt-soak in $dir"
  record 0 1
  exit 1
fi

start=$SECONDS
if "$dir/zolt-soak" --turns "$turns"; then
  say "$turns turns in $((SECONDS - start)) s"
  record 1 0
else
  say "FAILED"
  record 0 1
  exit 1
fi
