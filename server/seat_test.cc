#include "server/seat.h"

#include <gtest/gtest.h>

#include <string>

#include "net/message.h"
#include "server/connected_server_test.h"

namespace {

// The end-to-end case sends "25xyz", "+7", " 147", "99999999999" and "-1-1";
// these are the rest of the rules.
TEST(MessageForm, TellsAPlainNumberFromWhatAuthorsGetWrong) {
  const struct {
    std::string bytes;
    size_t waiting;
    MessageForm want;
  } cases[] = {
      {"0", 0, MessageForm::Plain},  // a 0 is the plain text of 0; the step decides
      {"147\n", 0, MessageForm::NotOneInteger},
      {"007", 0, MessageForm::NotOneInteger},
      {"-0", 0, MessageForm::NotOneInteger},
      {"147-", 0, MessageForm::NotOneInteger},
      {std::string("1\0"
                   "2",
                   3),
       0, MessageForm::NotOneInteger},
      {"147 147", 0, MessageForm::TwoInOneReceive},
      {"147", 3, MessageForm::TwoInOneReceive},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(message_form(c.bytes.data(), c.bytes.size(), c.waiting), c.want);
  }
}

using Seats_ = ConnectedServer;

// A departure in every message is told a few times, then counted; the
// summary names only the kinds that happened, those of an earlier client of
// the slot on a line of their own.
TEST_F(Seats_, ARepeatedDepartureIsToldAFewTimesThenCounted) {
  connect(1, 0);
  server_->rules.check_clients = true;
  Seat& s = seat(0);
  s.at = {Step::ReplyToRowX, 0};
  s.departures_before.count[static_cast<size_t>(Departure::BadGreeting)] = 2;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) {
    socket_send(clients_[0].socket, "147\n", 4);
    int32_t value = 0;
    ASSERT_EQ(seat_receive(s, server_->rules, &value), Received::Message);
    EXPECT_EQ(value, 147);
  }
  log_departure_summary(s);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "\"147\\x0a\" is not exactly one integer; read as 147"), 4u) << log;
  EXPECT_EQ(count_of(log, "read as 147; from now on this kind is only counted"), 1u) << log;
  EXPECT_EQ(count_of(log, "departures from the protocol: 10 messages not exactly one integer\n"),
            1u)
      << log;
  EXPECT_EQ(count_of(log,
                     "(earlier clients of the slot) departures from the protocol: 2 "
                     "greetings other than 147\n"),
            1u)
      << log;
}

// Two messages in one receive put every later message a step out of place:
// the line that ends the client names where that began, even unchecked.
TEST_F(Seats_, TheBreakOfAClientOutOfStepNamesWhereItBegan) {
  connect(1, 0);
  Seat& s = seat(0);
  s.at = {Step::X, 0};
  socket_send(clients_[0].socket, "-1-1", 4);
  int32_t value = 0;
  ASSERT_EQ(seat_receive(s, server_->rules, &value), Received::Message);
  s.at = {Step::ReplyToRelayA, 0};
  testing::internal::CaptureStderr();
  seat_break_protocol(s, server_->rules, 900);
  // Checked, the break is a departure of its own in the summary.
  server_->rules.check_clients = true;
  s.status = SeatStatus::Playing;
  seat_break_protocol(s, server_->rules, 900);
  log_departure_summary(s);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log,
                     "expected 147, got 900; its messages have been out of step since turn 0 "
                     "at step 'x', where one receive held two messages\n"),
            2u)
      << log;
  EXPECT_EQ(count_of(log,
                     "departures from the protocol: 1 replies to relay_a other than 147, "
                     "which broke the protocol\n"),
            1u)
      << log;
}

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

// A client that sends but never reads fills its connection: the time the
// server cannot send counts against its time-out as a silence does, and it
// is timed out instead of holding the server in its send.
TEST_F(Seats_, AClientThatNeverReadsIsTimedOutInTheSend) {
  connect(1, 0);
  server_->rules.client_timeout = std::chrono::seconds(1);
  Seat& s = seat(0);
  s.at = {Step::SendRelayA, 0};
  seat_start_time(s, server_->rules, Clock::now());
  testing::internal::CaptureStderr();
  // Far more than both sides' buffers hold; the send gives up once the
  // client's second is used.
  for (int i = 0; i < 2'000'000 && s.status == SeatStatus::Playing; ++i) {
    seat_send(s, server_->rules, "relay_a", 1234567890);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.status, SeatStatus::Broken);
  EXPECT_EQ(s.broken_by, BreakCause::TimedOut);
  EXPECT_EQ(count_of(log, "(the client timeout) in turn 0 at step 'relay_a'"), 1u) << log;
}

}  // namespace
