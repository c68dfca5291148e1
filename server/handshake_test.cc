#include "server/handshake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "console/console.h"
#include "server/connected_server_test.h"
#include "server/operator_hand.h"

namespace {

using std::chrono::milliseconds;
using Handshake = ConnectedServer;

// The answer to `line` from the match thread, or "" after five seconds.
std::string answer_of(OperatorHand& hand, const std::string& line) {
  const uint64_t ticket = operator_submit(hand, line, "test", false);
  std::string answer;
  for (int i = 0; i < 500; ++i) {
    if (operator_poll_answer(hand, ticket, &answer)) return answer;
    std::this_thread::sleep_for(milliseconds(10));
  }
  operator_give_up(hand, ticket);
  return "";
}

void play_handshake(ClientLink& link, int32_t* index) {
  client_join(link);
  int32_t map = -1;
  client_learn(link, index, &map);
}

// A client that has connected and says nothing holds the handshake in its
// greeting: the operator's commands are answered all the same, and the
// handshake goes on once it greets.
TEST_F(Handshake, CommandsAreAnsweredWhileAClientStallsInItsGreeting) {
  listen(1, 0);
  server_->rules.client_timeout = std::chrono::seconds(20);
  server_->hand = std::make_shared<OperatorHand>();
  server_->hand->waiting_for = 1;
  ClientLink& client = clients_[0];
  std::string err;
  ASSERT_TRUE(client_connect(client, "127.0.0.1", port_, &err)) << err;
  socket_set_receive_timeout(client.socket, 10000);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::atomic<bool> done{false};
  bool joined = false;
  std::thread match([&] {
    joined = run_handshake(*server_, 1);
    done = true;
  });
  // Until the connection is taken the accept's wait answers; then the
  // greeting's must.
  std::string status;
  for (int tries = 0; tries < 100 && status.find("1 of 1 joined") == std::string::npos; ++tries) {
    status = answer_of(*server_->hand, "status");
    if (status.empty()) break;
  }
  EXPECT_NE(status.find("waiting for players: 1 of 1 joined"), std::string::npos) << status;
  EXPECT_FALSE(done.load());
  int32_t index = -1;
  play_handshake(client, &index);
  match.join();
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(joined);
  EXPECT_EQ(index, 0);
}

// Who takes which seat: a connection that closes before it greets takes
// none when strays are forgotten, and a resumed match that goes on with
// fewer clients leaves the others' slots free.
TEST_F(Handshake, SeatsGoToTheClientsThatGreetAndTheRestStayFree) {
  struct Case {
    const char* name;
    int32_t humans, wanted;
    bool stray_first;  // a connection that closes at once comes first
    int32_t left;      // humans in play afterwards
  };
  const Case cases[] = {
      {"a stray, then a client", 1, 1, true, 1},
      {"a resumed match of two awaiting one", 2, 1, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (Seat& taken : server_->seats.seat) socket_close(taken.socket, true);
    if (listener_ != INVALID_SOCKET_HANDLE) socket_close(listener_);
    server_ = std::make_unique<Server>();
    listen(c.humans, 0);
    server_->rules.forget_strays = true;
    std::string err;
    if (c.stray_first) {
      ClientLink stray;
      ASSERT_TRUE(client_connect(stray, "127.0.0.1", port_, &err)) << err;
      socket_close(stray.socket, true);
    }
    ClientLink& client = clients_[0];
    ASSERT_TRUE(client_connect(client, "127.0.0.1", port_, &err)) << err;
    socket_set_receive_timeout(client.socket, 10000);
    int32_t index = -1;
    std::thread player([&] { play_handshake(client, &index); });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool joined = run_handshake(*server_, c.wanted);
    player.join();
    testing::internal::GetCapturedStdout();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(joined);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(seat(0).status, SeatStatus::Playing) << log;
    EXPECT_EQ(server_->seats.left, c.left) << log;
    for (int32_t q = c.wanted; q < c.humans; ++q) {
      EXPECT_EQ(seat(q).status, SeatStatus::Dropped);
      EXPECT_EQ(count_of(log, "player " + std::to_string(q) + "'s slot stays free"), 1u) << log;
    }
    socket_close(client.socket, true);
    client.socket = INVALID_SOCKET_HANDLE;
  }
}

}  // namespace
