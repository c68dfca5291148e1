#include "server/client_link.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
