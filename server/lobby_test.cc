#include "server/lobby.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

uint16_t local_port(SocketHandle s) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

// Whether the server side closed the connection: a receive ends without
// a byte and before its time-out.
bool closed_by_server(SocketHandle s) {
  char byte = 0;
  bool timed_out = false;
  return socket_recv(s, &byte, 1, &timed_out) == 0 && !timed_out;
}

// A listener on loopback, seats for three humans, and the clients made
// against it. Every loopback address is this machine's, so a client may
// come from 127.0.0.2 as from a second host.
class LobbyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    lobby_.listener = socket_bind("127.0.0.1", 0, &err);
    ASSERT_NE(lobby_.listener, INVALID_SOCKET_HANDLE) << err;
    ASSERT_TRUE(socket_listen(lobby_.listener, 8, &err)) << err;
    port_ = local_port(lobby_.listener);
    // Bounds a blocking accept, should a connection never arrive.
    socket_set_receive_timeout(lobby_.listener, 3000);
    seats_.resize(3);
    for (int32_t q = 0; q < 3; ++q) seats_[static_cast<size_t>(q)].index = q;
    rules_.turn = 40;
  }
  void TearDown() override {
    for (SocketHandle s : clients_) socket_close(s, true);
    for (Seat& seat : seats_) socket_close(seat.socket, true);
    socket_close(lobby_.listener);
  }
  SocketHandle connect_from(const char* source) {
    std::string err;
    const SocketHandle s = socket_connect("127.0.0.1", port_, &err, source);
    EXPECT_NE(s, INVALID_SOCKET_HANDLE) << err;
    socket_set_receive_timeout(s, 3000);
    clients_.push_back(s);
    return s;
  }
  // As the match opens the lobby with --rejoin.
  void open_in_match() {
    lobby_.open_in_match = true;
    socket_set_blocking(lobby_.listener, false);
  }
  // The listener has a connection waiting (a bounded wait), then the lobby
  // takes what waits.
  void take_waiting() {
    SocketWait wait{lobby_.listener, false};
    ASSERT_EQ(socket_poll(&wait, 1, 3000), 1) << "no connection reached the listener";
    lobby_take_waiting(lobby_, seats_, rules_);
  }
  void drop(int32_t q, const char* peer) {
    Seat& seat = seats_[static_cast<size_t>(q)];
    seat.status = SeatStatus::Dropped;
    std::snprintf(seat.peer, sizeof seat.peer, "%s", peer);
  }

  Lobby lobby_;
  uint16_t port_ = 0;
  std::vector<Seat> seats_;
  SeatRules rules_;
  std::vector<SocketHandle> clients_;
};

TEST(LobbySeat, TheLowestFreeSeatUnlessOneRemembersTheAddress) {
  // Per seat: P playing, D dropped (free), J dropped and joining again; then
  // its last client's peer. The joiner comes from 10.0.0.9.
  const struct {
    std::vector<std::string> seats;
    int32_t free_seat;   // lobby_free_seat
    int32_t start_seat;  // lobby_start_seat, with seat 0 taken
  } cases[] = {
      {{"P10.0.0.1:1", "P10.0.0.2:1"}, -1, 1},
      {{"P10.0.0.1:1", "D10.0.0.2:1", "D10.0.0.3:1"}, 1, 1},   // the lowest
      {{"D10.0.0.1:5", "D10.0.0.9:7"}, 1, 1},                  // its own address first
      {{"J10.0.0.9:7", "D10.0.0.1:5"}, 1, 1},                  // a joining seat is not free
      {{"D10.0.0.1:5", "D10.0.0.1:6", "D10.0.0.91:7"}, 0, 1},  // 10.0.0.91 is not 10.0.0.9
      {{"D10.0.0.9:7", "D10.0.0.1:5"}, 0, 1},                  // a taken seat is not given
  };
  for (const auto& c : cases) {
    std::vector<Seat> seats(c.seats.size());
    for (size_t q = 0; q < seats.size(); ++q) {
      seats[q].index = static_cast<int32_t>(q);
      if (c.seats[q][0] != 'P') seats[q].status = SeatStatus::Dropped;
      if (c.seats[q][0] == 'J') seats[q].join = JoinStage::Greeting;
      std::snprintf(seats[q].peer, sizeof seats[q].peer, "%s", c.seats[q].c_str() + 1);
    }
    std::vector<bool> taken(seats.size(), false);
    taken[0] = true;
    EXPECT_EQ(lobby_free_seat(seats, "10.0.0.9"), c.free_seat) << c.seats[0];
    EXPECT_EQ(lobby_start_seat(seats, taken, "10.0.0.9"), c.start_seat) << c.seats[0];
  }
}

TEST_F(LobbyTest, TheAllowListAdmitsItsNetworksAndClosesEveryOtherConnection) {
  const struct {
    const char* allow;
    bool admitted;
  } cases[] = {
      {"", true},
      {"127.0.0.1", true},
      {"10.0.0.0/8", false},
      {"10.0.0.0/8,127.0.0.0/8", true},
      {"127.0.0.2", false},
  };
  for (const auto& c : cases) {
    lobby_.allow.clear();
    if (*c.allow != '\0') {
      ASSERT_EQ(parse_ipv4_networks(c.allow, &lobby_.allow), "") << c.allow;
    }
    const SocketHandle client = connect_from(nullptr);
    const SocketHandle connection = socket_accept(lobby_.listener);
    ASSERT_NE(connection, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(lobby_admit(lobby_, connection), c.admitted) << c.allow;
    if (c.admitted) {
      socket_close(connection, true);
    } else {
      EXPECT_TRUE(closed_by_server(client)) << c.allow;
    }
  }
}

TEST_F(LobbyTest, AtTheStartARefusedConnectionIsPassedOverForTheNextThatMayJoin) {
  ASSERT_EQ(parse_ipv4_networks("127.0.0.2", &lobby_.allow), "");
  const SocketHandle stranger = connect_from("127.0.0.1");
  const SocketHandle player = connect_from("127.0.0.2");
  std::string why;
  bool stopped = true;
  const SocketHandle joined = lobby_accept(lobby_, &why, &stopped);
  ASSERT_NE(joined, INVALID_SOCKET_HANDLE) << why;
  EXPECT_FALSE(stopped);
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(joined, address, &port);
  EXPECT_STREQ(address, "127.0.0.2");
  EXPECT_EQ(port, local_port(player));
  EXPECT_TRUE(closed_by_server(stranger));
  socket_close(joined, true);
}

TEST_F(LobbyTest, InTheMatchJoinersTakeFreeSeatsAndAreRefusedOnceNoneIsFree) {
  // Seat 1's earlier clients broke the protocol three times; seat 2's last
  // client came from 127.0.0.2.
  drop(1, "10.9.9.9:1000");
  seats_[1].checks.departures.count[0] = 2;
  seats_[1].checks.departures_before.count[0] = 1;
  drop(2, "127.0.0.2:4000");

  // Not open in the match (no --rejoin): the connection waits, unseen.
  const SocketHandle back = connect_from("127.0.0.2");
  take_waiting();
  EXPECT_TRUE(is_free(seats_[1]));
  EXPECT_TRUE(is_free(seats_[2]));

  open_in_match();
  take_waiting();
  // The seat its address last held, though a lower one is free.
  EXPECT_EQ(seats_[2].join, JoinStage::Greeting);
  EXPECT_EQ(seats_[2].peer, "127.0.0.2:" + std::to_string(local_port(back)));
  EXPECT_TRUE(is_free(seats_[1]));

  const SocketHandle early = connect_from("127.0.0.1");
  take_waiting();
  EXPECT_EQ(seats_[1].join, JoinStage::Greeting);
  EXPECT_EQ(seats_[1].peer, "127.0.0.1:" + std::to_string(local_port(early)));
  EXPECT_TRUE(seats_[1].nonblocking);
  EXPECT_EQ(seats_[1].checks.departures_before.count[0], 3u);
  EXPECT_EQ(seats_[1].checks.departures.count[0], 0u);

  const SocketHandle late = connect_from("127.0.0.2");
  take_waiting();
  EXPECT_TRUE(closed_by_server(late));
  EXPECT_EQ(seats_[0].socket, INVALID_SOCKET_HANDLE);
  EXPECT_EQ(seats_[0].status, SeatStatus::Playing);
  EXPECT_EQ(seats_[2].peer, "127.0.0.2:" + std::to_string(local_port(back)));
}

}  // namespace
