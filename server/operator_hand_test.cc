#include "server/operator_hand.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "console/console.h"
#include "server/connected_server_test.h"

namespace {

using std::chrono::milliseconds;
using Hand = ConnectedServer;

void give_hand(Server& server) {
  server.hand = std::make_shared<OperatorHand>();
  server.hand->round_trips.assign(server.seats.seat.size(), 0);
}

// Each remote operator gets the answer to its own command; one that gave up
// leaves nothing behind.
TEST_F(Hand, AnswersGoToTheirOwnTicketAndAnAbandonedOneIsDropped) {
  listen(1, 0);
  give_hand(*server_);
  OperatorHand& hand = *server_->hand;
  const uint64_t status = operator_submit(hand, "status", "rcon a", false);
  const uint64_t help = operator_submit(hand, "help", "rcon b", false);
  const uint64_t gone = operator_submit(hand, "allow", "rcon c", false);
  operator_give_up(hand, gone);
  EXPECT_TRUE(operator_waiting(hand));
  testing::internal::CaptureStderr();
  operator_serve(*server_);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(operator_waiting(hand));
  std::string answer;
  ASSERT_TRUE(operator_poll_answer(hand, help, &answer));
  EXPECT_EQ(answer.rfind("status ", 0), 0u) << answer;
  ASSERT_TRUE(operator_poll_answer(hand, status, &answer));
  EXPECT_NE(answer.find("turns played"), std::string::npos) << answer;
  EXPECT_FALSE(operator_poll_answer(hand, gone, &answer));
  EXPECT_TRUE(hand.answers.empty());
  EXPECT_TRUE(hand.abandoned.empty());
}

// While paused, the match waits between turns for the operator's commands:
// it goes on at resume, and ends its wait at a stop.
TEST_F(Hand, APauseHoldsTheTurnsUntilResumeOrAStop) {
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "a stop" : "resume");
    server_ = std::make_unique<Server>();
    if (listener_ != INVALID_SOCKET_HANDLE) socket_close(listener_);
    listen(1, 0);
    give_hand(*server_);
    OperatorHand& hand = *server_->hand;
    hand.paused = true;
    std::thread operator_thread([&] {
      std::this_thread::sleep_for(milliseconds(100));
      if (stop) {
        console_ask_stop("a test");
      } else {
        operator_submit(hand, "resume", "console", true);
      }
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    operator_between_turns(*server_);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    operator_thread.join();
    EXPECT_EQ(hand.paused, stop);
    EXPECT_EQ(console_stop_asked() != nullptr, stop);
    console_ask_stop(nullptr);
  }
}

}  // namespace
