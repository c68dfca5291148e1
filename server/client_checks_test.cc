#include "server/client_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "server/connected_server_test.h"

namespace {

using ClientChecks_ = ConnectedServer;

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

// A departure in every message is told a few times, then counted; the
// summary names only the kinds that happened, those of an earlier client of
// the slot on a line of their own.
TEST_F(ClientChecks_, ARepeatedDepartureIsToldAFewTimesThenCounted) {
  connect(1, 0);
  server_->rules.check_clients = true;
  Seat& s = seat(0);
  s.at = {Step::ReplyToRowX, 0};
  s.checks.departures_before.count[static_cast<size_t>(Departure::BadGreeting)] = 2;
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
TEST_F(ClientChecks_, TheBreakOfAClientOutOfStepNamesWhereItBegan) {
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

// A client that takes a dropped player's slot answers for its own messages
// only: the departures of those before it are summed apart, and nothing
// else of theirs (where they fell out of step, what was last sent to them)
// is said of it.
TEST(ClientChecks, TheNextClientOfASlotKeepsOnlyTheDeparturesBefore) {
  ClientChecks first;
  first.departures.count[static_cast<size_t>(Departure::NotOneInteger)] = 3;
  first.departures_before.count[static_cast<size_t>(Departure::NotOneInteger)] = 2;
  first.departures_before.count[static_cast<size_t>(Departure::BadEcho)] = 1;
  first.out_of_step_at = Step::X;
  first.out_of_step_turn = 7;
  checks_sent(first, "relay_a", 25, 1);
  const ClientChecks second = checks_for_next_client(first);
  EXPECT_EQ(second.departures_before.count[static_cast<size_t>(Departure::NotOneInteger)], 5u);
  EXPECT_EQ(second.departures_before.count[static_cast<size_t>(Departure::BadEcho)], 1u);
  for (size_t kind = 0; kind < DEPARTURE_KINDS; ++kind) {
    EXPECT_EQ(second.departures.count[kind], 0u) << kind;
  }
  EXPECT_EQ(second.out_of_step_at, Step::Done);
  EXPECT_EQ(second.last_sent_step, nullptr);
  char note[OUT_OF_STEP_NOTE_SIZE];
  out_of_step_note(second, note);
  EXPECT_STREQ(note, "");
  out_of_step_note(first, note);
  EXPECT_NE(std::string(note).find("out of step since turn 7 at step 'x'"), std::string::npos)
      << note;
}

}  // namespace
