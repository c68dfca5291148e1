// Load against the real server process: 200 clients that connect at the same
// moment are all accepted, numbered in the order the server accepted them,
// and served through whole turns, all on loopback. The test drives every
// client from one thread: the server serves one client at a time, so at any
// moment exactly one of them has something to read.
#include <poll.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/texts.h"
#include "net/protocol.h"
#include "tests/server_process.h"

namespace {

constexpr int kClients = 200;
constexpr int kTurns = 2;
constexpr int kWaitMs = 20000;

// Room for the clients' sockets beside the test's own descriptors.
void raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

const std::string kAcceptLine = peer_line("127.0.0.1");

// The number of accept lines on the server's console once it has at least
// `expected` (or after a while).
size_t accept_lines(ServerProcess& server, size_t expected) {
  size_t lines = 0;
  for (int tries = 0; tries < kWaitMs; ++tries) {
    lines = count_of(server.output(), kAcceptLine);
    if (lines >= expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return lines;
}

// The one client among `waiting` that the server has sent something to, or
// -1 when none has been sent anything or more than one has.
int the_one_readable(const std::vector<std::unique_ptr<TestClient>>& clients,
                     const std::vector<int>& waiting) {
  std::vector<pollfd> fds;
  for (int c : waiting) {
    fds.push_back({static_cast<int>(clients[static_cast<size_t>(c)]->link.socket), POLLIN, 0});
  }
  if (poll(fds.data(), fds.size(), kWaitMs) <= 0) return -1;
  int found = -1;
  for (size_t i = 0; i < fds.size(); ++i) {
    if ((fds[i].revents & POLLIN) == 0) continue;
    if (found != -1) return -1;
    found = waiting[i];
  }
  return found;
}

TEST(Load, TwoHundredClientsAtOnceAreNumberedInAcceptOrderAndServed) {
  raise_descriptor_limit(4 * kClients + 64);
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  // Start positions: human p at (10000 + p, 20000 + p).
  std::string starts;
  for (int axis = 1; axis <= 2; ++axis) {
    for (int p = 0; p < kClients; ++p) starts += std::to_string(axis * 10000 + p) + " ";
    starts += "\n";
  }
  dir.write("dept0.txt", starts);
  ServerProcess server;
  server.start(dir.path(), {"127.0.0.1"}, answers(kClients, 0, 0), false);
  ASSERT_TRUE(server.wait_for_output(WAITING));

  // All connect while the server is still at its first accept, and greet at
  // once: the connections wait in the listen backlog.
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<TestClient>());
    ASSERT_NE(clients.back()->link.socket, INVALID_SOCKET_HANDLE) << "client " << c;
  }
  for (auto& client : clients) client->send(ACK);

  // Whichever client is sent the player count is the one just accepted.
  std::vector<int> waiting(kClients);
  for (int c = 0; c < kClients; ++c) waiting[static_cast<size_t>(c)] = c;
  std::vector<int> accepted;
  while (!waiting.empty()) {
    const int c = the_one_readable(clients, waiting);
    ASSERT_NE(c, -1) << "not exactly one client served after " << accepted.size() << " accepts";
    TestClient& client = *clients[static_cast<size_t>(c)];
    ASSERT_EQ(client.recv(), kClients);
    accepted.push_back(c);
    // The server waits for this client's echo before its next accept, so
    // its console shows exactly one accept line per client served so far.
    ASSERT_EQ(accept_lines(server, accepted.size()), accepted.size());
    client.send(kClients);
    waiting.erase(std::find(waiting.begin(), waiting.end(), c));
  }
  // Each accepted client is numbered by its place in the accept order; a
  // client handed another index would wait here for a message that goes
  // elsewhere.
  std::vector<bool> index_given(kClients, false);
  for (int q = 0; q < kClients; ++q) {
    TestClient& client = *clients[static_cast<size_t>(accepted[static_cast<size_t>(q)])];
    const int32_t index = client.recv();
    ASSERT_EQ(index, q);
    ASSERT_FALSE(index_given[static_cast<size_t>(index)]);
    index_given[static_cast<size_t>(index)] = true;
    client.send(ACK);
    ASSERT_EQ(client.recv(), 0) << "map of player " << q;
  }
  const std::string joined = server.output();
  EXPECT_EQ(count_of(joined, kAcceptLine), static_cast<size_t>(kClients));
  EXPECT_EQ(count_of(joined, CONNECTED), static_cast<size_t>(kClients));
  EXPECT_EQ(count_of(joined, "Erreur"), 0u) << "an error text in the connection phase";

  // Turns: player q reports (turn * 1000 + q, turn * 1000 + 500 + q) with
  // heading turn * 100 + q. In turn t, player q sees the players before it
  // and itself as they reported in this turn, those after it as in the
  // previous turn (heading 2600 before any report).
  for (int turn = 1; turn <= kTurns; ++turn) {
    for (int q = 0; q < kClients; ++q) {
      TurnReport report;
      report.x = turn * 1000 + q;
      report.y = turn * 1000 + 500 + q;
      report.heading = turn * 100 + q;
      TurnView view;
      client_turn(clients[static_cast<size_t>(accepted[static_cast<size_t>(q)])]->link, report,
                  kClients, view);
      ASSERT_EQ(view.players.size(), static_cast<size_t>(kClients));
      for (int p = 0; p < kClients; ++p) {
        const PlayerRow& row = view.players[static_cast<size_t>(p)];
        const int sent_in = p <= q ? turn : turn - 1;
        SCOPED_TRACE("turn " + std::to_string(turn) + ", player " + std::to_string(q) +
                     " sees player " + std::to_string(p));
        // Every exchange of the first turn reads the start positions over
        // what the humans sent.
        if (sent_in <= 1) {
          ASSERT_EQ(row.x, 10000 + p);
          ASSERT_EQ(row.y, 20000 + p);
        } else {
          ASSERT_EQ(row.x, sent_in * 1000 + p);
          ASSERT_EQ(row.y, sent_in * 1000 + 500 + p);
        }
        ASSERT_EQ(row.heading, sent_in == 0 ? 2600 : sent_in * 100 + p) << "the server's log:\n"
                                                                        << server.errors();
        ASSERT_EQ(row.health, 100);
      }
    }
  }
  // Everyone leaves; the next exchange breaks at its reply to relay_a.
  clients.clear();
  EXPECT_EQ(server.wait_exit(), 1);
  EXPECT_EQ(count_of(server.output(), "\n dept0.txt"), static_cast<size_t>(kClients));
}

}  // namespace
