#!/usr/bin/env bash
# Builds the server and starts it in maps/, where the sample bot route file
# and start position files lie. Arguments go to the server (a host name).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-run -G Ninja -DZOLT_BUILD_TESTS=OFF > /dev/null
cmake --build build-run --target zolt-server > /dev/null
cd maps
exec ../build-run/zolt-server "$@"
