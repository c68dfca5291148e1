#!/usr/bin/env bash
# Builds the server and starts it in maps/, where the sample bot route file
# and start position files lie. Arguments go to the server (a host name).
# The build's progress goes to standard error, so that standard output is the
# server's console alone; the first build takes a minute on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-run
generator=()
# Ninja when there is one, for a new folder; one made before keeps its own.
[ ! -f "$dir/CMakeCache.txt" ] && command -v ninja > /dev/null && generator=(-G Ninja)
echo "run-server: configuring $dir/" >&2
mkdir -p "$dir"
cmake -S . -B "$dir" "${generator[@]}" -DZOLT_BUILD_TESTS=OFF > "$dir/configure.log" 2>&1 ||
  { cat "$dir/configure.log" >&2; exit 1; }
# One job per core: --parallel alone lets Ninja run more jobs than there are
# cores (4 on 2), which only slows a small machine.
jobs=$(nproc 2> /dev/null || getconf _NPROCESSORS_ONLN 2> /dev/null || echo 2)
# The reference client too, built once beside it: $dir/client/zolt-client.
echo "run-server: building zolt-server and zolt-client in $dir/ ($jobs jobs)" >&2
cmake --build "$dir" --target zolt-server zolt-client --parallel "$jobs" >&2
echo "run-server: starting $dir/zolt-server in maps/" >&2
cd maps
exec "../$dir/zolt-server" "$@"
