#include "server/walker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "console/console.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/connected_server_test.h"

namespace {

using std::chrono::milliseconds;
using Walker_ = ConnectedServer;

int32_t receive(SocketHandle socket) {
  char buffer[MESSAGE_LIMIT + 1];
  return recv_number(socket, buffer);
}

// Waits up to ten seconds for flag: a bound far from any machine's pace.
bool wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 1000 && !flag.load(); ++i) std::this_thread::sleep_for(milliseconds(10));
  return flag.load();
}

WalkEnd walk_seat(Server& server, int32_t q, Step stop) {
  return walk(server.walker, server.seats, server.lobby, server.rules, {&server.match, nullptr},
              nullptr, q, q + 1, stop);
}

void begin_report(Server& server, int32_t q) {
  Seat& seat = server.seats.seat[static_cast<size_t>(q)];
  seat.at = EXCHANGE_START;
  seat.report = Report{};
  seat_start_time(seat, server.rules, Clock::now());
}

// The lobby open as in a match with --rejoin, seat 1 free.
void open_lobby_with_a_free_seat(Server& server) {
  server.lobby.open_in_match = true;
  socket_set_blocking(server.lobby.listener, false);
  Seat& free = server.seats.seat[1];
  free.status = SeatStatus::Dropped;
  --server.seats.left;
  Seat& playing = server.seats.seat[0];
  playing.nonblocking = socket_set_blocking(playing.socket, false);
}

// A slow player within its time-out and a prompt joiner: the joiner is
// served while the server waits for the slow one, and joins at once.
TEST_F(Walker_, AJoinerIsServedWhileASlowSeatIsWaitedFor) {
  listen(2, 0);
  connect_one(0);
  set_up_tables(server_->match);
  server_->rules.client_timeout = std::chrono::seconds(3);
  open_lobby_with_a_free_seat(*server_);
  std::atomic<bool> joined{false};
  ClientLink joiner;
  std::thread joining([&] {
    std::string err;
    ASSERT_TRUE(client_connect(joiner, "127.0.0.1", port_, &err)) << err;
    client_join(joiner);
    int32_t index = -1, map = -1;
    client_learn(joiner, &index, &map);
    EXPECT_EQ(index, 1);
    joined = !joiner.closed;
  });
  std::thread slow([&] {
    // Its report, each value late, the last one only once the joiner has
    // its map (or after ten seconds, when the walk failed to serve it).
    for (int32_t value : {5, 6, 7, 8}) {
      std::this_thread::sleep_for(milliseconds(100));
      send_int(clients_[0].socket, value);
      receive(clients_[0].socket);
    }
    send_int(clients_[0].socket, NO_VALUE);
    receive(clients_[0].socket);
    wait_for(joined);
    send_int(clients_[0].socket, 900);
  });
  begin_report(*server_, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(walk_seat(*server_, 0, Step::SendRelayA), WalkEnd::Reached);
  const std::string log = testing::internal::GetCapturedStderr();
  slow.join();
  joining.join();
  EXPECT_TRUE(joined.load()) << log;
  EXPECT_EQ(seat(1).join, JoinStage::Ready) << log;
  EXPECT_EQ(seat(1).status, SeatStatus::Playing) << log;
  EXPECT_EQ(seat(0).report.heading, 900);
  EXPECT_EQ(count_of(log, "rejoined in turn 0"), 1u) << log;
  socket_close(joiner.socket, true);
}

// A joiner's bad greeting is one departure, told once.
TEST_F(Walker_, AJoinersBadGreetingIsToldOnce) {
  const struct {
    bool check_clients;
    const char* told;
  } cases[] = {
      {false, "greeted with 200, not 147"},
      {true, "at step 'greeting': greeted with 200, not 147"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.check_clients);
    listen(2, 0);
    connect_one(0);
    set_up_tables(server_->match);
    server_->rules.check_clients = c.check_clients;
    open_lobby_with_a_free_seat(*server_);
    ClientLink joiner;
    std::string err;
    ASSERT_TRUE(client_connect(joiner, "127.0.0.1", port_, &err)) << err;
    send_int(joiner.socket, 200);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 1000 && seat(1).at.step != Step::Echo; ++i) {
      walk_joiners(server_->walker, server_->seats, server_->lobby, server_->rules,
                   {&server_->match, nullptr});
      std::this_thread::sleep_for(milliseconds(10));
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(seat(1).at.step, Step::Echo) << log;
    EXPECT_EQ(count_of(log, "greeted with 200"), 1u) << log;
    EXPECT_EQ(count_of(log, c.told), 1u) << log;
    socket_close(joiner.socket, true);
    TearDown();
    clients_.clear();
    server_ = std::make_unique<Server>();
  }
}

// A silent client is warned of while it waits, then timed out; from then on
// its messages read as from a closed connection, and the walk goes on.
TEST_F(Walker_, ASilentSeatIsWarnedOfThenTimedOut) {
  connect(1, 0);
  set_up_tables(server_->match);
  server_->rules.client_timeout = std::chrono::seconds(1);
  begin_report(*server_, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(walk_seat(*server_, 0, Step::SendRelayA), WalkEnd::Reached);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_GE(count_of(log, "has kept everyone waiting for"), 1u) << log;
  EXPECT_EQ(count_of(log, "stayed silent for 1 s (the client timeout) in turn 0 at step 'relay_a'"),
            1u)
      << log;
  EXPECT_EQ(seat(0).broken_by, BreakCause::TimedOut);
  EXPECT_EQ(seat(0).report.heading, NO_VALUE);
}

// With broken clients dropped, a client that leaves in the middle of its
// report ends the report there; the drop is left to whoever applies it.
TEST_F(Walker_, AClientThatLeavesInItsReportEndsTheReportThere) {
  connect(1, 0);
  set_up_tables(server_->match);
  server_->rules.drop_broken = true;
  std::thread client([&] {
    for (int32_t value : {5, 6}) {
      send_int(clients_[0].socket, value);
      receive(clients_[0].socket);
    }
    socket_close(clients_[0].socket, true);
    clients_[0].socket = INVALID_SOCKET_HANDLE;
  });
  begin_report(*server_, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(walk_seat(*server_, 0, Step::SendRelayA), WalkEnd::Reached);
  testing::internal::GetCapturedStderr();
  client.join();
  EXPECT_EQ(seat(0).report.relay_a, 5);
  EXPECT_EQ(seat(0).report.relay_b, 6);
  EXPECT_EQ(seat(0).report.ended_at, Step::X);
  EXPECT_EQ(seat(0).status, SeatStatus::Broken);
  EXPECT_EQ(server_->seats.left, 1);
}

// A command that comes mid-report ends the walk; walked on, the report goes
// on from where it stood, nothing lost or taken twice.
TEST_F(Walker_, AWaitingCommandEndsTheWalkAndTheNextWalkGoesOn) {
  connect(1, 0);
  set_up_tables(server_->match);
  server_->rules.drop_broken = true;
  std::atomic<bool> command_waiting{false};
  server_->walker.command_waiting = &command_waiting;
  std::thread client([&] {
    send_int(clients_[0].socket, 5);
    receive(clients_[0].socket);
    command_waiting = true;
    send_int(clients_[0].socket, 6);
    receive(clients_[0].socket);
    socket_close(clients_[0].socket, true);
    clients_[0].socket = INVALID_SOCKET_HANDLE;
  });
  begin_report(*server_, 0);
  int commands_run = 0;
  testing::internal::CaptureStderr();
  const WalkEnd end = walk_running_commands(
      server_->seats, [&] { return walk_seat(*server_, 0, Step::SendRelayA); },
      [&] {
        ++commands_run;
        command_waiting = false;
      });
  testing::internal::GetCapturedStderr();
  client.join();
  EXPECT_EQ(end, WalkEnd::Reached);
  EXPECT_EQ(commands_run, 1);
  EXPECT_EQ(seat(0).report.relay_a, 5);
  EXPECT_EQ(seat(0).report.relay_b, 6);
  EXPECT_EQ(seat(0).report.ended_at, Step::X);
}

// Fills the server's side of a seat's connection until a send would wait:
// its client has stopped reading. The socket blocks as before afterwards.
void fill_until_full(Seat& seat) {
  const int small = 4096;
  setsockopt(static_cast<int>(seat.socket), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  socket_set_blocking(seat.socket, false);
  const char junk[512] = {};
  // Until the client's side holds all it will take and nothing more moves
  // out of the server's side.
  bool full = false;
  for (int round = 0; round < 1000 && !full; ++round) {
    bool would_block = false;
    while (!would_block) socket_send(seat.socket, junk, sizeof junk, &would_block);
    full = !socket_wait_writable(seat.socket, 200);
  }
  ASSERT_TRUE(full);
  socket_set_blocking(seat.socket, !seat.nonblocking);
}

// A client that stops reading holds only its own seat: served at once, the
// others' reports are taken meanwhile and only it is timed out; one at a
// time, a waiting command ends the walk while the send waits.
TEST_F(Walker_, AClientThatStopsReadingHoldsOnlyItsOwnSeat) {
  connect(2, 0);
  set_up_tables(server_->match);
  server_->rules.client_timeout = std::chrono::seconds(1);
  for (int32_t q : {0, 1}) seat(q).nonblocking = socket_set_blocking(seat(q).socket, false);
  fill_until_full(seat(0));
  // Player 0 reports relay_a and waits for an ack that cannot come; player 1
  // reports on time, a little late each value.
  send_int(clients_[0].socket, 5);
  std::thread prompt([&] {
    for (int32_t value : {5, 6, 7, 8, 9, 10}) {
      std::this_thread::sleep_for(milliseconds(100));
      send_int(clients_[1].socket, value);
      receive(clients_[1].socket);
    }
    send_int(clients_[1].socket, 900);
  });
  for (int32_t q : {0, 1}) begin_report(*server_, q);
  testing::internal::CaptureStderr();
  const WalkEnd end = walk(server_->walker, server_->seats, server_->lobby, server_->rules,
                           {&server_->match, nullptr}, nullptr, 0, 2, Step::SendRelayA);
  const std::string log = testing::internal::GetCapturedStderr();
  prompt.join();
  EXPECT_EQ(end, WalkEnd::Reached);
  EXPECT_EQ(seat(0).broken_by, BreakCause::TimedOut) << log;
  EXPECT_EQ(seat(1).status, SeatStatus::Playing) << log;
  EXPECT_EQ(seat(1).report.heading, 900);
  EXPECT_EQ(count_of(log, "player 0 (127.0.0.1"), count_of(log, "(127.0.0.1")) << log;
}

TEST_F(Walker_, AWaitingCommandIsSeenWhileASendWaits) {
  connect(1, 0);
  set_up_tables(server_->match);
  // Long enough that a send holding the walk would be seen: the walk would
  // end timed out, not for the command.
  server_->rules.client_timeout = std::chrono::seconds(20);
  std::atomic<bool> command_waiting{false};
  server_->walker.command_waiting = &command_waiting;
  fill_until_full(seat(0));
  send_int(clients_[0].socket, 5);
  begin_report(*server_, 0);
  std::thread command([&] {
    std::this_thread::sleep_for(milliseconds(300));
    command_waiting = true;
  });
  testing::internal::CaptureStderr();
  const WalkEnd end = walk_seat(*server_, 0, Step::SendRelayA);
  const std::string log = testing::internal::GetCapturedStderr();
  command.join();
  EXPECT_EQ(end, WalkEnd::CommandWaiting) << log;
  EXPECT_EQ(seat(0).status, SeatStatus::Playing) << log;
  EXPECT_TRUE(has_output(seat(0)));
}

// A stop is seen at the walk's next wake-up, whatever the seat does.
TEST_F(Walker_, AStopIsSeenWhileTheWalkWaits) {
  connect(1, 0);
  set_up_tables(server_->match);
  begin_report(*server_, 0);
  std::thread stop([] {
    std::this_thread::sleep_for(milliseconds(100));
    console_ask_stop("a test");
  });
  testing::internal::CaptureStderr();
  const WalkEnd end = walk_seat(*server_, 0, Step::SendRelayA);
  testing::internal::GetCapturedStderr();
  stop.join();
  console_ask_stop(nullptr);
  EXPECT_EQ(end, WalkEnd::Stopped);
  EXPECT_EQ(seat(0).status, SeatStatus::Playing);
}

// With --check-clients a silence is named early, once a message: the step
// the server waits at and its last message. On a socket that blocks and on
// one that does not (served at once).
TEST_F(Walker_, ACheckedSilenceIsNamedOnceWithTheStep) {
  for (const bool blocking : {true, false}) {
    SCOPED_TRACE(blocking);
    connect(1, 0);
    set_up_tables(server_->match);
    server_->rules.check_clients = true;
    server_->rules.silence_note = milliseconds(120);
    if (!blocking) seat(0).nonblocking = socket_set_blocking(seat(0).socket, false);
    begin_report(*server_, 0);
    // Sent before the walk starts: however late the thread below runs, the
    // only silence the server can see is the one before 'relay_b'.
    send_int(clients_[0].socket, 5);
    std::thread client([&] {
      receive(clients_[0].socket);
      std::this_thread::sleep_for(milliseconds(300));
      send_int(clients_[0].socket, 6);
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(walk_seat(*server_, 0, Step::X), WalkEnd::Reached);
    const std::string log = testing::internal::GetCapturedStderr();
    client.join();
    EXPECT_EQ(count_of(log,
                       "has sent nothing for 0.12 s, in turn 0: the server waits for its "
                       "'relay_b', having sent it 'ack' 147\n"),
              1u)
        << log;
    EXPECT_EQ(count_of(log, "has sent nothing"), 1u) << log;
    TearDown();
    clients_.clear();
    server_ = std::make_unique<Server>();
  }
}

}  // namespace
