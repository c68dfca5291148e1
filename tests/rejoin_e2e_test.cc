// A dropped player comes back (--rejoin) and only listed networks may join
// (--allow), against the real server, one at a time and all at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kPlayers = 4;  // three humans and a bot
const int64_t kExchange = exchange_messages(kPlayers, false);

// Waits until the server's log holds text; false after 10 s.
bool logged(ServerProcess& server, const std::string& text) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (server.errors().find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether the server closes a connection that has just been made, without a
// word: a receive ends with nothing.
bool closed_at_once(SocketHandle connection) {
  socket_set_receive_timeout(connection, 5000);
  char buffer[MESSAGE_LIMIT];
  bool timed_out = false;
  const size_t got = socket_recv(connection, buffer, sizeof buffer, &timed_out);
  socket_close(connection);
  return got == 0 && !timed_out;
}

// A connection to the server from another loopback address.
SocketHandle connect_from(const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, source, &address.sin_addr);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  address.sin_port = htons(test_port());
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// The body of GET path on the live view at port; empty without an answer.
std::string http_get(uint16_t port, const std::string& path) {
  std::string err;
  const SocketHandle s = socket_connect("127.0.0.1", port, &err);
  if (s == INVALID_SOCKET_HANDLE) return "";
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  socket_send(s, request.data(), request.size());
  socket_set_receive_timeout(s, 5000);
  std::string answer;
  char buffer[4096];
  for (size_t got; (got = socket_recv(s, buffer, sizeof buffer)) > 0;) answer.append(buffer, got);
  socket_close(s);
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

size_t open_files(pid_t pid) {
  const auto fds = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(fds), {}));
}

TurnReport walk(int32_t x, int32_t turn) {
  TurnReport report;
  report.x = x;
  report.y = turn + 1;
  report.heading = 900;
  return report;
}

class Rejoin : public ::testing::TestWithParam<const char*> {};

TEST_P(Rejoin, AKilledPlayersSlotIsTakenByTheNextClientAndTheOthersNeverNotice) {
  TempDir dir;
  put_bot_route_file(dir.path(),
                     "300 300 300 300 300 300 300 300 300\n400 400 400 400 400 400 400 400 400\n");
  dir.write("dept0.txt", "10 20 30\n40 50 60\n");
  std::vector<std::string> args = {"localhost", "--humans", "3",        "--bots",           "1",
                                   "--map",     "0",        "--rejoin", "--client-timeout", "2"};
  if (*GetParam() != '\0') args.push_back(GetParam());
  args.insert(args.end(), {"--http", "127.0.0.1:" + std::to_string(view_port())});
  ServerProcess server;
  server.start(dir.path(), args, "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();

  std::vector<std::unique_ptr<TestClient>> clients;
  for (int q = 0; q < 3; ++q) clients.push_back(std::make_unique<TestClient>());
  std::atomic<bool> stop{false};
  std::atomic<int> turns_played[2] = {0, 0};
  std::vector<TurnView> last_view(2);
  std::vector<std::thread> players;
  for (int q : {0, 2}) {
    players.emplace_back([&, q] {
      ClientLink& link = clients[static_cast<size_t>(q)]->link;
      client_join(link);
      int32_t index = 0, map = 0;
      client_learn(link, &index, &map);
      std::atomic<int>& turns = turns_played[q / 2];
      TurnView& view = last_view[static_cast<size_t>(q / 2)];
      while (!stop && client_turn(link, walk(100 + q, turns), kPlayers, view)) {
        ++turns;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  // Player 1 plays five turns, then its program dies in the middle of the sixth.
  players.emplace_back([&] {
    ClientLink& link = clients[1]->link;
    client_join(link);
    int32_t index = 0, map = 0;
    client_learn(link, &index, &map);
    TurnView view;
    for (int turn = 0; turn < 5; ++turn) client_turn(link, walk(101, turn), kPlayers, view);
    send_int(link.socket, NO_VALUE);
    clients[1]->close();
  });

  ASSERT_TRUE(logged(server, "player 1 (127.0.0.1:")) << server.errors();
  ASSERT_TRUE(logged(server, "dropped in turn")) << server.errors();
  EXPECT_NE(http_get(view_port(), "/state.json").find("\"clients\": [\"playing\", \"dropped\", "),
            std::string::npos);

  // A client that greets and then says nothing more is dropped after the
  // client timeout, and the slot stays free.
  {
    TestClient silent;
    silent.send(ACK);
    EXPECT_EQ(silent.recv(), kPlayers);
    EXPECT_TRUE(closed_at_once(silent.link.socket));
    silent.link.socket = INVALID_SOCKET_HANDLE;
    EXPECT_TRUE(logged(server, "did not finish joining; the slot stays free")) << server.errors();
  }

  // The next client takes player 1's slot and is placed at its start position.
  TestClient back;
  EXPECT_EQ(client_join(back.link), kPlayers);
  int32_t index = -1, map = -1;
  client_learn(back.link, &index, &map);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(map, 0);
  TurnView view;
  ASSERT_TRUE(client_turn(back.link, walk(555, 0), kPlayers, view));
  EXPECT_EQ(view.players[1].x, 20);
  EXPECT_EQ(view.players[1].y, 50);
  EXPECT_EQ(view.players[1].heading, 900);
  // From then on it plays as the others do.
  std::thread back_playing([&] {
    for (int turn = 1; !stop && client_turn(back.link, walk(777, turn), kPlayers, view); ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(logged(server, "player 1: a client from 127.0.0.1:")) << server.errors();
  EXPECT_TRUE(logged(server, "rejoined in turn")) << server.errors();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(http_get(view_port(), "/state.json").find("\"clients\": [\"playing\", \"rejoined\", "),
            std::string::npos);
  EXPECT_NE(http_get(view_port(), "/metrics").find("\nzolt_rejoins_total 1\n"), std::string::npos);

  // With every slot taken, a connection is closed at once; a flood of them
  // leaves no descriptor behind and the match at its pace.
  const pid_t pid = server.pid();
  const auto turns_in_half_a_second = [&turns_played] {
    const int before = turns_played[0];
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return turns_played[0] - before;
  };
  const int pace = turns_in_half_a_second();
  // Taken after the pace: the view's last answer has closed its connection.
  const size_t files = server_is_windows() ? 0 : open_files(pid);
  for (int i = 0; i < 200; ++i) {
    std::string err;
    const SocketHandle extra = socket_connect("127.0.0.1", test_port(), &err);
    ASSERT_NE(extra, INVALID_SOCKET_HANDLE) << err;
    if (i == 0) {
      EXPECT_TRUE(closed_at_once(extra));
    } else {
      socket_close(extra, true);
    }
  }
  EXPECT_TRUE(logged(server, "no player's slot is free")) << server.errors();
  EXPECT_GT(turns_in_half_a_second(), pace / 2) << "the match slowed down";
  if (!server_is_windows()) {
    EXPECT_EQ(open_files(pid), files);
  }

  stop = true;
  back_playing.join();
  back.close();
  for (std::thread& player : players) player.join();
  EXPECT_EQ(view.players[1].x, 777);
  // The others played every turn whole: no pause, no extra message.
  for (int k = 0; k < 2; ++k) {
    const ClientLink& link = clients[static_cast<size_t>(2 * k)]->link;
    EXPECT_EQ(link.sent, 3 + kExchange * turns_played[k]) << "client " << 2 * k;
    EXPECT_EQ(link.received, 3 + kExchange * turns_played[k]) << "client " << 2 * k;
    EXPECT_EQ(last_view[static_cast<size_t>(k)].players[1].x, 777) << "client " << 2 * k;
  }
  for (auto& client : clients) client->close();
  EXPECT_EQ(server.wait_exit(), 1);
}

INSTANTIATE_TEST_SUITE_P(BothSchedulers, Rejoin, ::testing::Values("", "--concurrent"),
                         [](const auto& param_info) {
                           return std::string(*param_info.param == '\0' ? "one_at_a_time"
                                                                        : "at_once");
                         });

TEST(Allow, AClientFromOutsideTheListTakesNoSlotAtTheStartNorToRejoin) {
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n40 50\n");
  ServerProcess server;
  server.start(dir.path(),
               {"localhost", "--humans", "2", "--bots", "0", "--map", "0", "--rejoin", "--allow",
                "127.0.0.1/32,10.0.0.0/8"},
               "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  const SocketHandle outsider = connect_from("127.0.0.2");
  ASSERT_NE(outsider, INVALID_SOCKET_HANDLE);
  EXPECT_TRUE(closed_at_once(outsider));
  EXPECT_TRUE(logged(server, "refused a connection from 127.0.0.2:")) << server.errors();

  TestClient first, second;
  EXPECT_EQ(client_join(first.link), 2);
  EXPECT_EQ(client_join(second.link), 2);
  int32_t index = -1, map = -1;
  client_learn(first.link, &index, &map);
  EXPECT_EQ(index, 0) << "the outsider took a player index";
  client_learn(second.link, &index, &map);
  EXPECT_EQ(index, 1);
  TurnView view;
  client_turn(first.link, walk(1, 0), 2, view);
  second.close();
  // The first client plays on while player 1's slot is free.
  std::atomic<bool> stop{false};
  std::thread playing([&] {
    for (int turn = 1; !stop && client_turn(first.link, walk(1, turn), 2, view); ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(logged(server, "dropped in turn")) << server.errors();
  const SocketHandle again = connect_from("127.0.0.2");
  ASSERT_NE(again, INVALID_SOCKET_HANDLE);
  EXPECT_TRUE(closed_at_once(again));
  TestClient insider;
  EXPECT_EQ(client_join(insider.link), 2);
  client_learn(insider.link, &index, &map);
  EXPECT_EQ(index, 1);
  stop = true;
  playing.join();
}

}  // namespace
