#include "server/seat.h"

#include <gtest/gtest.h>

#include <string>

#include "server/connected_server_test.h"

namespace {

using Seats_ = ConnectedServer;

// A player the operator named is named in the log beside its address.
TEST_F(Seats_, ANamedPlayerIsNamedInTheLog) {
  listen(1, 0);
  Options options;
  options.names = {"Alice"};
  server_->rules.names = &options;
  connect_one(0);
  testing::internal::CaptureStderr();
  seat_drop(seat(0), server_->rules, 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "WARN player 0 (Alice, 127.0.0.1:"), 1u) << log;
}

// A connection reset before it is looked at is still named by the address
// its accept saw, not 0.0.0.0:0.
TEST_F(Seats_, AConnectionResetAtOnceKeepsItsAddress) {
  listen(1, 0);
  ClientLink stray;
  std::string err;
  ASSERT_TRUE(client_connect(stray, "127.0.0.1", port_, &err)) << err;
  socket_close(stray.socket, true);
  seat_open(seat(0), socket_accept(listener_), server_->rules);
  EXPECT_EQ(std::string(seat(0).peer).rfind("127.0.0.1:", 0), 0u) << seat(0).peer;
}

// A blocking seat's socket keeps its slice while nothing falls due sooner,
// so that a message costs one receive and no option call; it waits less only
// before a time-out or a note.
TEST_F(Seats_, TheSocketWaitsLessOnlyBeforeATimeOutOrANote) {
  const struct {
    int client_timeout_s;
    bool check_clients;
    std::chrono::milliseconds waited;
    bool shortened;
  } cases[] = {
      {0, false, std::chrono::milliseconds(10), false},
      {0, false, std::chrono::milliseconds(990), false},
      {10, false, std::chrono::milliseconds(10), false},
      {1, false, std::chrono::milliseconds(500), true},
      {0, true, std::chrono::milliseconds(4500), true},
  };
  connect(1, 0);
  server_->rules.wait_slice = std::chrono::milliseconds(1000);
  server_->rules.stall_warning = std::chrono::milliseconds(30000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.waited.count());
    server_->rules.client_timeout = std::chrono::seconds(c.client_timeout_s);
    server_->rules.check_clients = c.check_clients;
    const auto now = Clock::now();
    seat_start_time(seat(0), server_->rules, now - c.waited);
    seat_check_time(seat(0), server_->rules, now);
    EXPECT_EQ(seat(0).time.short_socket_timeout, c.shortened);
  }
}

}  // namespace
