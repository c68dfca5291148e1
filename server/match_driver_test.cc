#include "server/match_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "server/connected_server_test.h"

namespace {

using std::chrono::milliseconds;
using MatchDriver = ConnectedServer;

// The turn loop logs its pace: here a status line every turn.
TEST_F(MatchDriver, TheTurnLoopLogsAStatusLineAtItsPace) {
  connect(1, 1);
  MatchProgress progress;
  progress.status_interval = milliseconds(0);
  set_up_tables(server_->match);
  server_->match.turn_count = 2;  // past the first turn: no start position file
  std::thread player([this] {
    TurnView view;
    TurnReport report;
    for (int turn = 0; turn < 2; ++turn) client_turn(clients_[0], report, 2, view);
    report.relay_a_reply = 146;
    client_turn(clients_[0], report, 2, view);
  });
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_turns(*server_, progress), EXIT_PROTOCOL_BREAK);
  player.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, " INFO turn "), 2u) << log;
  EXPECT_NE(log.find(" INFO turn 2, "), std::string::npos) << log;
}

}  // namespace
