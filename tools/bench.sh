#!/usr/bin/env bash
# Builds the benchmarks (optimised, in build-bench/) and runs them: the
# exchange benchmark (the server against a bare ping-pong responder, per
# match size) and the bot step micro-benchmark. It takes TCP port 2000 while
# it runs, so start no server meanwhile. Arguments go to the exchange
# benchmark:
#   --quick            a smoke run: everything once, quickly; the figures mean little
#   --round-trips N    round trips measured per match size
#   --burst N          round trips per burst; the floor and the server alternate bursts
#   --sizes H/B,...    the match sizes, as humans/bots (1-500 humans, 0-10000 bots)
#   --query            the server also answers a crowd's server queries, beside a
#                      run of each size without them
# docs/performance.md explains the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh > /dev/null || echo "bench.sh: carrying on with what is installed"
mkdir -p build-bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release > build-bench/build.log 2>&1 \
  || { cat build-bench/build.log; exit 1; }
cmake --build build-bench --target zolt_exchange_bench >> build-bench/build.log 2>&1 \
  || { cat build-bench/build.log; exit 1; }
build-bench/bench/zolt_exchange_bench "$@"
echo
if cmake --build build-bench --target zolt_bot_step_bench >> build-bench/build.log 2>&1; then
  build-bench/bench/zolt_bot_step_bench --benchmark_min_time=0.2
else
  echo "bench.sh: the bot step benchmark needs Google Benchmark (libbenchmark-dev)"
fi
