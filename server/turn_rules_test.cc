#include "server/turn_rules.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "match/match.h"

namespace {

constexpr int32_t kHumans = 3;
constexpr int32_t kPlayers = kHumans + 1;

// What client `viewer` must be shown in one cell: a column of player's row
// ('x', 'y', 'h'ealth, 'd'irection), or relay 'a' or 'b'.
struct Shown {
  int32_t viewer;
  char what;
  int32_t player;
  int32_t value;
};

struct RulesCase {
  const char* name;
  std::vector<Report> reports;  // per human; missing fields keep the defaults
  std::vector<Shown> shown;
  bool first_turn = false;
};

std::ostream& operator<<(std::ostream& out, const RulesCase& c) {
  return out << c.name;
}

int32_t cell_of(const Shown& s) {
  switch (s.what) {
    case 'x':
      return table_cell(Column::PosX, s.player, kPlayers);
    case 'y':
      return table_cell(Column::PosY, s.player, kPlayers);
    case 'h':
      return table_cell(Column::Health, s.player, kPlayers);
    case 'd':
      return table_cell(Column::Heading, s.player, kPlayers);
    case 'a':
      return relay_a_cell(kPlayers);
    default:
      return relay_b_cell(kPlayers);
  }
}

// Three humans and a bot; last turn left human p at (10p + 1, 10p + 2)
// facing 100p, with relay_a 7 and relay_b 8.
// The tables the rules work on, and no server.
struct Tables {
  Match match;
  ViewLedger ledger;
  StartFile start;
};

std::unique_ptr<Tables> last_turn(const std::string& maps_dir, bool first_turn) {
  auto server = std::make_unique<Tables>();
  Match& match = server->match;
  match.human_count = kHumans;
  match.bot_count = 1;
  create_route_tables(match);
  create_client_table(match);
  set_up_tables(match);
  server->start.maps_dir = maps_dir;
  match.turn_count = first_turn ? 1 : 2;
  if (!first_turn) {
    for (size_t p = 0; p < kHumans; ++p) {
      match.pos_x[p] = static_cast<int32_t>(10 * p + 1);
      match.pos_y[p] = static_cast<int32_t>(10 * p + 2);
      match.heading[p] = static_cast<int32_t>(100 * p);
    }
    match.relay_a = 7;
    match.relay_b = 8;
  }
  return server;
}

Report report(int32_t x, int32_t y, int32_t heading) {
  Report r;
  r.x = x;
  r.y = y;
  r.heading = heading;
  return r;
}

Report with(Report r, int32_t Report::*field, int32_t value, Step ended_at = Step::Done) {
  r.*field = value;
  r.ended_at = ended_at;
  return r;
}

class TurnRules : public ::testing::TestWithParam<RulesCase> {};

TEST_P(TurnRules, EachClientIsShownTheTablesRightAfterItsOwnReport) {
  const RulesCase& c = GetParam();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zolt-rules-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "dept0.txt") << "500 600 700\n50 60 70\n";
  const auto at_once = last_turn(dir.string(), c.first_turn);
  const auto in_turn = last_turn(dir.string(), c.first_turn);
  ledger_set_up(at_once->ledger, at_once->match);
  ledger_clear(at_once->ledger);

  testing::internal::CaptureStdout();  // the first turn names its file on the console
  for (int32_t q = 0; q < kHumans; ++q) {
    apply_report(at_once->match, q, c.reports[static_cast<size_t>(q)], false, at_once->start,
                 &at_once->ledger, nullptr);
  }
  for (int32_t q = 0; q < kHumans; ++q) {
    apply_report(in_turn->match, q, c.reports[static_cast<size_t>(q)], false, in_turn->start,
                 nullptr, nullptr);
    // Served one at a time, q is shown the live tables: so must it be, served at once.
    for (int32_t cell = 0; cell <= relay_b_cell(kPlayers); ++cell) {
      EXPECT_EQ(ledger_view(at_once->ledger, cell, q, cell_value(at_once->match, cell)),
                cell_value(in_turn->match, cell))
          << "client " << q << ", cell " << cell;
    }
  }
  testing::internal::GetCapturedStdout();
  for (const Shown& s : c.shown) {
    const int32_t cell = cell_of(s);
    EXPECT_EQ(ledger_view(at_once->ledger, cell, s.viewer, cell_value(at_once->match, cell)),
              s.value)
        << "client " << s.viewer << " shown '" << s.what << "' of player " << s.player;
  }
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Views, TurnRules,
    ::testing::Values(
        RulesCase{"humans_before_with_this_turn_after_with_last",
                  {report(100, 101, 900), report(200, 201, 1800), report(300, 301, 2700)},
                  {{0, 'x', 1, 11},
                   {1, 'x', 0, 100},
                   {1, 'x', 2, 21},
                   {1, 'd', 2, 200},
                   {2, 'y', 1, 201},
                   {0, 'd', 0, 900}}},
        RulesCase{
            "health_counts_the_hits_up_to_the_viewer",
            {with(with(report(1, 1, 1), &Report::damage, 10), &Report::target, 3), report(2, 2, 2),
             with(with(report(3, 3, 3), &Report::damage, -5), &Report::target, 3)},
            {{0, 'h', 2, 90}, {1, 'h', 2, 90}, {2, 'h', 2, 95}}},
        RulesCase{
            "a_target_outside_the_players_hits_nobody",
            {with(with(report(1, 1, 1), &Report::damage, 10), &Report::target, 5),
             with(with(report(2, 2, 2), &Report::damage, 10), &Report::target, 0), report(3, 3, 3)},
            {{2, 'h', 0, 100}, {2, 'h', 3, 100}}},
        RulesCase{
            "relays_as_they_stood_after_the_viewer",
            {with(report(1, 1, 1), &Report::relay_a, 5), report(2, 2, 2),
             with(with(report(3, 3, 3), &Report::relay_a, -2), &Report::relay_b, 9)},
            {{0, 'a', 0, 5}, {1, 'a', 0, 5}, {1, 'b', 0, 8}, {2, 'a', 0, -1}, {2, 'b', 0, 9}}},
        RulesCase{
            "a_dropped_report_counts_up_to_where_it_ended",
            {report(1, 1, 1), with(report(7, 8, 9), &Report::y, -1, Step::Y), report(3, 3, 3)},
            {{0, 'x', 1, 11}, {2, 'x', 1, 7}, {2, 'y', 1, -1}, {2, 'd', 1, 100}}},
        RulesCase{
            "a_hit_whose_target_never_came_is_no_hit",
            {with(with(report(1, 1, 1), &Report::damage, 10), &Report::target, -1, Step::Target),
             report(2, 2, 2), report(3, 3, 3)},
            {{2, 'h', 0, 100}, {2, 'd', 0, 0}}},
        RulesCase{"first_turn_every_human_at_the_start_positions",
                  {report(1, 1, 900), report(2, 2, 1800), report(3, 3, 2700)},
                  {{0, 'x', 2, 700},
                   {0, 'y', 1, 60},
                   {0, 'd', 2, 2600},
                   {1, 'd', 0, 900},
                   {2, 'x', 0, 500}},
                  true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
