#include "server/rcon_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/rcon.h"
#include "server/operator_hand.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string packet(int32_t id, int32_t type, const std::string& body, int times = 1) {
  std::string bytes;
  for (int i = 0; i < times; ++i) rcon_append_packet(bytes, id, type, body);
  return bytes;
}

const RconClock::time_point T0 = RconClock::time_point(std::chrono::hours(1));

uint64_t no_submit(const std::string& line) {
  ADD_FAILURE() << "submitted: " << line;
  return 0;
}

TEST(RconGate, WrongPasswordsWaitLongerPerAddressAndAFloodSlowsEveryAnswer) {
  const struct {
    const char* address;
    const char* password;
    int at;  // seconds after T0
    int delay_ms;
  } tries[] = {
      {"10.0.0.1", "guess", 0, 1000},   {"10.0.0.1", "guess", 1, 2000},
      {"10.0.0.1", "guess", 2, 4000},   {"10.0.0.2", "guess", 3, 1000},  // its own count
      {"10.0.0.1", "secret", 4, 0},  // the right one at once, whatever came before
      {"10.0.0.1", "guess", 5, 8000},   {"10.0.0.1", "guess", 6, 16000},
      {"10.0.0.1", "guess", 7, 16000},  // no longer than the longest
      {"10.0.0.3", "guess", 8, 1000},   {"10.0.0.4", "guess", 9, 1000},
      {"10.0.0.5", "guess", 10, 1000},   // the tenth failure in the minute:
      {"10.0.0.6", "secret", 11, 2000},  // every answer now waits
      {"10.0.0.7", "guess", 12, 2000},  {"10.0.0.1", "guess", 80, 1000},  // a minute on
      {"10.0.0.8", "secret", 81, 0},
  };
  RconGate gate;
  gate.password = "secret";
  for (const auto& t : tries) {
    const std::string what = std::string(t.address) + " at " + std::to_string(t.at);
    const bool right = std::string(t.password) == "secret";
    RconConnection c;
    c.address = t.address;
    c.in = packet(7, RCON_AUTH, t.password);
    const auto now = T0 + seconds(t.at);
    rcon_take_packets(gate, c, now, no_submit);
    EXPECT_EQ(c.authenticated, right) << what;
    EXPECT_EQ(c.closing, !right) << what;
    EXPECT_EQ(c.answer_at - now, milliseconds(t.delay_ms)) << what;
    EXPECT_FALSE(rcon_release_held(c, c.answer_at - milliseconds(1))) << what;
    ASSERT_TRUE(rcon_release_held(c, c.answer_at)) << what;
    const int32_t id = right ? 7 : -1;
    EXPECT_EQ(c.out, packet(id, RCON_RESPONSE_VALUE, "") + packet(id, RCON_AUTH_RESPONSE, ""))
        << what;
  }
}

TEST(RconPackets, PacketsAreTakenInOrderHoweverTheBytesArriveSplit) {
  const std::string stream =
      packet(1, RCON_AUTH, "secret") + packet(2, RCON_EXECCOMMAND, "status") +
      packet(3, RCON_EXECCOMMAND, "kick 1") + packet(4, RCON_RESPONSE_VALUE, "");
  for (const size_t chunk : {size_t{1}, size_t{3}, size_t{7}, size_t{29}, stream.size()}) {
    RconGate gate;
    gate.password = "secret";
    RconConnection c;
    std::vector<std::string> lines;
    // As the listener's thread looks at a connection: a held answer goes,
    // the packets are taken, a command is answered (here at once).
    const auto look = [&] {
      rcon_release_held(c, T0);
      rcon_take_packets(gate, c, T0, [&](const std::string& line) {
        lines.push_back(line);
        return lines.size();
      });
      if (c.ticket != 0) rcon_answer_command(c, "ran " + lines.back() + "\n");
    };
    for (size_t at = 0; at < stream.size(); at += chunk) {
      c.in += stream.substr(at, chunk);
      look();
    }
    for (int i = 0; i < 4; ++i) look();  // several packets in one read: one a look
    const std::string where = "in chunks of " + std::to_string(chunk);
    EXPECT_EQ(lines, (std::vector<std::string>{"status", "kick 1"})) << where;
    std::string expected = packet(1, RCON_RESPONSE_VALUE, "") + packet(1, RCON_AUTH_RESPONSE, "");
    rcon_append_answer(expected, 2, "ran status\n");
    rcon_append_answer(expected, 3, "ran kick 1\n");
    EXPECT_EQ(c.out, expected + packet(4, RCON_RESPONSE_VALUE, "")) << where;
  }
}

// One client of the remote console over loopback; every receive gives up
// after `patience`.
struct RconClient {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  std::string in;
  bool timed_out = false;

  explicit RconClient(uint16_t port, milliseconds patience = milliseconds(3000)) {
    std::string err;
    socket = socket_connect("127.0.0.1", port, &err);
    EXPECT_NE(socket, INVALID_SOCKET_HANDLE) << err;
    socket_set_receive_timeout(socket, static_cast<int>(patience.count()));
    socket_set_send_timeout(socket, 3000);
  }
  ~RconClient() { socket_close(socket, true); }
  void send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      const long n = socket_send(socket, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;  // closed by the server, as some cases expect
      at += static_cast<size_t>(n);
    }
  }
  // The next packet; false when the connection closed or the time ran out.
  bool next(RconPacket* packet) {
    size_t used = 0;
    while (rcon_read_packet(in.data(), in.size(), packet, &used) != RconRead::Packet) {
      char buffer[4096];
      const size_t got = socket_recv(socket, buffer, sizeof buffer, &timed_out);
      if (got == 0) return false;
      in.append(buffer, got);
    }
    in.erase(0, used);
    return true;
  }
  bool closed() {
    RconPacket packet;
    while (next(&packet)) {
    }
    return !timed_out;
  }
  // The id the verdict carries: the request's, -1 for a wrong password.
  int32_t login(const std::string& password, int32_t id = 1) {
    send(packet(id, RCON_AUTH, password));
    RconPacket empty, verdict;
    return next(&empty) && next(&verdict) ? verdict.id : -2;
  }
  std::string answer(int32_t id) {
    RconPacket packet;
    if (!next(&packet)) return timed_out ? "(no answer in time)" : "(closed)";
    EXPECT_EQ(packet.id, id);
    return packet.body;
  }
  std::string command(int32_t id, const std::string& line) {
    send(packet(id, RCON_EXECCOMMAND, line));
    return answer(id);
  }
  // What the match answers it: its line and where it came from.
  std::string answered(const std::string& line) const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &length);
    return line + " from rcon 127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + "\n";
  }
};

// The listener on loopback, with a loop in the place of the match thread:
// it answers each command with its line and origin, and holds "wait"
// until the case lets it go.
class RconListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    const SocketHandle listener = rcon_bind("127.0.0.1", 0, &err);
    ASSERT_NE(listener, INVALID_SOCKET_HANDLE) << err;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    service_ = rcon_start(listener, hand_, "secret");
    match_ = std::thread([this] { answer_commands(); });
  }
  void TearDown() override {
    done_ = true;
    if (match_.joinable()) match_.join();
    if (service_ != nullptr) rcon_stop(*service_);
  }
  void answer_commands() {
    while (!done_) {
      std::unique_lock<std::mutex> lock(hand_.mutex);
      hand_.requested.wait_for(lock, milliseconds(10));
      for (auto at = hand_.requests.begin(); at != hand_.requests.end();) {
        if (at->line == "wait" && !let_go_) {
          ++at;
          continue;
        }
        // As the match thread does: the answer of a ticket given up is not kept.
        auto& gone = hand_.abandoned;
        if (const auto given_up = std::find(gone.begin(), gone.end(), at->ticket);
            given_up != gone.end()) {
          gone.erase(given_up);
        } else {
          hand_.answers.emplace_back(at->ticket, at->line + " from " + at->origin + "\n");
        }
        at = hand_.requests.erase(at);
      }
    }
  }
  // Waits a few seconds at most for what the hand holds to satisfy `done`.
  template <typename Done>
  bool hand_comes_to(Done done) {
    for (int i = 0; i < 300; ++i) {
      {
        std::lock_guard<std::mutex> lock(hand_.mutex);
        if (done()) return true;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  OperatorHand hand_;
  std::unique_ptr<RconService> service_;
  std::atomic<bool> done_{false};
  std::atomic<bool> let_go_{false};
  std::thread match_;
  uint16_t port_ = 0;
};

TEST_F(RconListenerTest, EachAnswerReachesItsOwnPeerWhileAnotherCommandWaits) {
  RconClient a(port_), b(port_);
  for (const char byte : packet(11, RCON_AUTH, "secret")) a.send(std::string(1, byte));
  RconPacket empty, verdict;
  ASSERT_TRUE(a.next(&empty) && a.next(&verdict));
  EXPECT_EQ(verdict.id, 11);
  ASSERT_EQ(b.login("secret", 12), 12);
  a.send(packet(21, RCON_EXECCOMMAND, "wait"));
  // Two commands in one send, while a's is held.
  b.send(packet(22, RCON_EXECCOMMAND, "status") + packet(23, RCON_EXECCOMMAND, "who"));
  EXPECT_EQ(b.answer(22), b.answered("status"));
  EXPECT_EQ(b.answer(23), b.answered("who"));
  let_go_ = true;
  EXPECT_EQ(a.answer(21), a.answered("wait"));
}

// A client that leaves while its command waits for the match: the answer,
// when it comes, is kept for nobody (and the server's end would wait for
// it to be taken).
TEST_F(RconListenerTest, TheAnswerOfAClientThatLeftIsNotKept) {
  RconClient other(port_);
  ASSERT_EQ(other.login("secret"), 1);
  {
    RconClient leaving(port_);
    ASSERT_EQ(leaving.login("secret"), 1);
    leaving.send(packet(2, RCON_EXECCOMMAND, "wait"));
    ASSERT_TRUE(hand_comes_to([this] { return !hand_.requests.empty(); }));
  }
  // Its close is seen by the time a later command is answered.
  EXPECT_EQ(other.command(2, "who"), other.answered("who"));
  let_go_ = true;
  EXPECT_TRUE(hand_comes_to([this] {
    return hand_.requests.empty() && hand_.answers.empty() && hand_.abandoned.empty();
  }));
}

}  // namespace
