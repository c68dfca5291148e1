#include "server/client_link.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "net/message.h"
#include "server/connected_server_test.h"

namespace {

using std::chrono::milliseconds;

using ClientLinks = ConnectedServer;

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

// With --check-clients a silence is named early, once a message: the step
// the server waits at and its last message, which a client author needs to
// see what the client waits for instead. Both schedulers: the blocking
// receive, and the check of a client served at once.
TEST_F(ClientLinks, ACheckedClientsSilenceIsNamedOnceWithTheStep) {
  connect(1, 0);
  server_->silence_note = milliseconds(120);
  ClientState& link = server_->client_state[0];
  const auto one_at_a_time = [&] {
    std::thread later([&] {
      std::this_thread::sleep_for(milliseconds(300));
      send_int(clients_[0].socket, 5);
    });
    EXPECT_EQ(receive_from(*server_, 0, "relay_b"), 5);
    later.join();
  };
  const auto at_once = [&] {
    server_->wait_slice = milliseconds(1000);
    const auto now = std::chrono::steady_clock::now();
    link.waiting_since = now - milliseconds(50);
    // The next look comes when the note is due, not a whole slice later.
    EXPECT_LE(check_waiting_client(*server_, 0, "relay_b", now),
              server_->options.check_clients ? milliseconds(70) : milliseconds(950));
    check_waiting_client(*server_, 0, "relay_b", now + milliseconds(100));
    check_waiting_client(*server_, 0, "relay_b", now + milliseconds(130));
  };
  const struct {
    const char* name;
    bool check;
    std::function<void()> wait;
  } cases[] = {
      {"one at a time", true, one_at_a_time},
      {"at once", true, at_once},
      {"one at a time, unchecked", false, one_at_a_time},
      {"at once, unchecked", false, at_once},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->options.check_clients = server_->inspect_messages = c.check;
    server_->wait_slice = milliseconds(50);
    send_to(*server_, 0, "ack", 147);
    testing::internal::CaptureStderr();
    c.wait();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(log,
                       "has sent nothing for 0.12 s, in turn 0: the server waits for its "
                       "'relay_b', having sent it 'ack' 147\n"),
              c.check ? 1u : 0u)
        << log;
    EXPECT_EQ(count_of(log, "has sent nothing"), c.check ? 1u : 0u) << log;
  }
}

// A departure in every message is told a few times, then counted; the
// summary names only the kinds that happened.
TEST_F(ClientLinks, ARepeatedDepartureIsToldAFewTimesThenCounted) {
  connect(1, 0);
  server_->options.check_clients = server_->inspect_messages = true;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) {
    socket_send(clients_[0].socket, "147\n", 4);
    EXPECT_EQ(receive_from(*server_, 0, "reply to pos_x", Expect::Reply), 147);
  }
  log_departure_summary(*server_);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "\"147\\x0a\" is not exactly one integer; read as 147"), 4u) << log;
  EXPECT_EQ(count_of(log, "read as 147; from now on this kind is only counted"), 1u) << log;
  EXPECT_EQ(count_of(log, "departures from the protocol: 10 messages not exactly one integer\n"),
            1u)
      << log;
}

}  // namespace
