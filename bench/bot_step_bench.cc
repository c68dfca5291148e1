// One bot step on a match under way: arrival test, move or next segment,
// firing hook and heading. With one human in the match no step waits for a
// key, so this is the bots' whole share of a turn.
#include <benchmark/benchmark.h>

#include "bots/route.h"
#include "match/match.h"

namespace {

// Bots on closed square loops, each a little off the last, so that moves,
// arrivals and heading changes all come up.
Match match_with_bots(int32_t bots) {
  Match match;
  match.human_count = 1;
  match.bot_count = bots;
  create_route_tables(match);
  for (int32_t b = 0; b < bots; ++b) {
    const int32_t x0 = 100 + 40 * b, y0 = 100 + 30 * b;
    match.route_x[static_cast<size_t>(b)] = {x0,      x0 + 60, x0 + 120, x0 + 120, x0 + 120,
                                             x0 + 60, x0,      x0,       x0,       0};
    match.route_y[static_cast<size_t>(b)] = {y0,       y0,       y0,      y0 + 60, y0 + 120,
                                             y0 + 120, y0 + 120, y0 + 60, y0,      0};
  }
  set_up_tables(match);
  return match;
}

void BM_BotStep(benchmark::State& state) {
  const auto bots = static_cast<int32_t>(state.range(0));
  Match match = match_with_bots(bots);
  int32_t b = 0;
  for (auto _ : state) {
    bot_step(match, b);
    benchmark::ClobberMemory();
    b = b + 1 == bots ? 0 : b + 1;
  }
  benchmark::DoNotOptimize(match.pos_x.data());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BotStep)->Arg(1)->Arg(8)->Arg(64);

// All the bots' steps of one turn, as the match driver runs them.
void BM_BotTurn(benchmark::State& state) {
  const auto bots = static_cast<int32_t>(state.range(0));
  Match match = match_with_bots(bots);
  for (auto _ : state) {
    for (int32_t b = 0; b < bots; ++b) bot_step(match, b);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * bots);
}
BENCHMARK(BM_BotTurn)->Arg(8)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
