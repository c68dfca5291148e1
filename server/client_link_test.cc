#include "server/client_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "net/client.h"
#include "net/protocol.h"
#include "server/match_driver.h"

namespace {

using std::chrono::milliseconds;

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A server state with its humans connected over loopback, the log's pace
// quickened so that minutes pass in milliseconds.
class ClientLinks : public ::testing::Test {
 protected:
  void connect(int32_t humans, int32_t bots) {
    std::string err;
    listener_ = socket_bind("127.0.0.1", 0, &err);
    ASSERT_NE(listener_, INVALID_SOCKET_HANDLE) << err;
    ASSERT_TRUE(socket_listen(listener_, 8, &err)) << err;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(static_cast<int>(listener_), reinterpret_cast<sockaddr*>(&bound), &length);
    Match& match = server_->match;
    match.human_count = humans;
    match.bot_count = bots;
    create_route_tables(match);
    create_client_table(match);
    server_->client_state.assign(static_cast<size_t>(humans), ClientState{});
    server_->clients_left = humans;
    server_->wait_slice = milliseconds(50);
    server_->stall_warning = milliseconds(200);
    clients_.resize(static_cast<size_t>(humans));
    for (int32_t q = 0; q < humans; ++q) {
      ASSERT_TRUE(client_connect(clients_[static_cast<size_t>(q)], "127.0.0.1",
                                 ntohs(bound.sin_port), &err));
      match.client_socket[static_cast<size_t>(q)] = socket_accept(listener_);
      watch_client(*server_, q);
    }
  }
  void TearDown() override {
    for (ClientLink& link : clients_) socket_close(link.socket, true);
    for (SocketHandle s : server_->match.client_socket) socket_close(s, true);
    socket_close(listener_);
  }

  std::unique_ptr<Server> server_ = std::make_unique<Server>();
  SocketHandle listener_ = INVALID_SOCKET_HANDLE;
  std::vector<ClientLink> clients_;
};

TEST_F(ClientLinks, ASilentClientIsReportedWhileItWaitsThenTimedOut) {
  connect(1, 0);
  server_->options.client_timeout = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(receive_from(*server_, 0, "relay_a"), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  // Warnings at 200, 400, 600 and 800 ms; at 1 s the client timed out.
  EXPECT_EQ(count_of(log, "has kept everyone waiting for"), 4u) << log;
  EXPECT_EQ(count_of(log, "stayed silent for 1 s (the client timeout) in turn 0 at step 'relay_a'"),
            1u)
      << log;
  EXPECT_EQ(server_->client_state[0].status, ClientStatus::Broken);
  // From then on it reads as a closed connection, at once and without a word.
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receive_from(*server_, 0, "ack"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(50));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The turn loop logs its pace: here a status line every turn.
TEST_F(ClientLinks, TheTurnLoopLogsAStatusLineAtItsPace) {
  connect(1, 1);
  server_->status_interval = milliseconds(0);
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
  EXPECT_EQ(run_turns(*server_), EXIT_PROTOCOL_BREAK);
  player.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, " INFO turn "), 2u) << log;
  EXPECT_NE(log.find(" INFO turn 2, "), std::string::npos) << log;
}

}  // namespace
