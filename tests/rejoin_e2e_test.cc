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

#include "console/texts.h"
#include "net/client.h"
#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kPlayers = 4;  // three humans and a bot
const int64_t kExchange = exchange_messages(kPlayers, false);

// Whether the server closes a connection without a word: a receive ends
// with nothing before the wait runs out.
bool closed_without_a_word(SocketHandle connection) {
  socket_set_receive_timeout(connection, REPLY_WAIT_MS);
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

// Asks the live view for path until its body holds text (the view is
// published apart from the log); whether it did within 20 s.
bool view_shows(const std::string& path, const std::string& text) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (http_get(view_port(), path).body.find(text) == std::string::npos) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
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

  // Client q is player q: each connects once the server has logged the
  // one before it as joined.
  std::vector<std::unique_ptr<TestClient>> clients;
  std::atomic<int> turns_played[2] = {0, 0};
  std::vector<TurnView> last_view(2);
  ClientThreads players;
  for (int q = 0; q < 3; ++q) {
    clients.push_back(std::make_unique<TestClient>());
    TestClient* const client = clients.back().get();
    if (q == 1) {
      // Player 1 plays five turns, then its program dies in the middle of the sixth.
      players.start([client] {
        ClientLink& link = client->link;
        client_join(link);
        int32_t index = 0, map = 0;
        client_learn(link, &index, &map);
        TurnView view;
        for (int turn = 0; turn < 5; ++turn) client_turn(link, walk(101, turn), kPlayers, view);
        send_int(link.socket, NO_VALUE);
        client->close();
      });
    } else {
      players.start([&, client, q] {
        ClientLink& link = client->link;
        client_join(link);
        int32_t index = 0, map = 0;
        client_learn(link, &index, &map);
        std::atomic<int>& turns = turns_played[q / 2];
        TurnView& view = last_view[static_cast<size_t>(q / 2)];
        while (!players.stop && client_turn(link, walk(100 + q, turns), kPlayers, view)) {
          ++turns;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      });
    }
    ASSERT_TRUE(server.wait_for_log("player " + std::to_string(q) + " joined from"))
        << server.errors();
  }

  ASSERT_TRUE(server.wait_for_log("dropped in turn")) << server.errors();
  EXPECT_TRUE(view_shows("/state.json", "\"clients\": [\"playing\", \"dropped\", "));

  // A client that greets and then says nothing more is dropped after the
  // client timeout, and the slot stays free.
  {
    TestClient silent;
    silent.send(ACK);
    EXPECT_EQ(silent.recv(), kPlayers);
    EXPECT_TRUE(closed_without_a_word(silent.link.socket));
    silent.link.socket = INVALID_SOCKET_HANDLE;
    EXPECT_TRUE(server.wait_for_log("did not finish joining; the slot stays free"))
        << server.errors();
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
  players.start([&] {
    for (int turn = 1; !players.stop && client_turn(back.link, walk(777, turn), kPlayers, view);
         ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(server.wait_for_log("player 1: a client from 127.0.0.1:")) << server.errors();
  EXPECT_TRUE(server.wait_for_log("rejoined in turn")) << server.errors();
  // The start position file is named at each human's first report; a
  // rejoin prints nothing.
  const std::string output = server.output();
  const std::string start_file = formatted(START_FILE_LINE, "dept0.txt");
  size_t named = 0;
  for (size_t at = output.find(start_file); at != std::string::npos;
       at = output.find(start_file, at + 1)) {
    ++named;
  }
  EXPECT_EQ(named, 3u) << output;
  EXPECT_TRUE(view_shows("/state.json", "\"clients\": [\"playing\", \"rejoined\", "));
  EXPECT_TRUE(view_shows("/metrics", "\nzolt_rejoins_total 1\n"));

  // With every slot taken, a connection is closed at once; a flood of them
  // leaves no descriptor behind, and the match plays on through it.
  const pid_t pid = server.pid();
  const size_t files = server_is_windows() ? 0 : open_files(pid);
  for (int i = 0; i < 200; ++i) {
    std::string err;
    const SocketHandle extra = socket_connect("127.0.0.1", test_port(), &err);
    // The server may close it before this thread's connect has returned:
    // the connect then reports the reset, which is the same refusal.
    if (extra == INVALID_SOCKET_HANDLE) continue;
    if (i == 0) {
      EXPECT_TRUE(closed_without_a_word(extra));
    } else {
      socket_close(extra, true);
    }
  }
  EXPECT_TRUE(server.wait_for_log("no player's slot is free")) << server.errors();
  // Whole turns go on being played after the flood, by every client (the
  // counts below).
  const int after_flood = turns_played[0];
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (turns_played[0] < after_flood + 20 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(turns_played[0], after_flood + 20) << "the match stopped after the flood";
  if (!server_is_windows()) {
    // A view answer's connection may still have been open when counted.
    const auto settled = Clock::now() + std::chrono::seconds(10);
    while (open_files(pid) > files && Clock::now() < settled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(open_files(pid), files);
  }

  players.join_all();
  back.close();
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
  EXPECT_TRUE(closed_without_a_word(outsider));
  EXPECT_TRUE(server.wait_for_log("refused a connection from 127.0.0.2:")) << server.errors();

  // The second connects once the first has its answer: made at once, the
  // two could be accepted the other way round.
  TestClient first;
  EXPECT_EQ(client_join(first.link), 2);
  TestClient second;
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
  ClientThreads playing;
  playing.start([&] {
    for (int turn = 1; !playing.stop && client_turn(first.link, walk(1, turn), 2, view); ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(server.wait_for_log("dropped in turn")) << server.errors();
  const SocketHandle again = connect_from("127.0.0.2");
  ASSERT_NE(again, INVALID_SOCKET_HANDLE);
  EXPECT_TRUE(closed_without_a_word(again));
  TestClient insider;
  EXPECT_EQ(client_join(insider.link), 2);
  client_learn(insider.link, &index, &map);
  EXPECT_EQ(index, 1);
  // Seated, the insider is waited for in every turn from the next one on
  // (there is no client time-out): it leaves before the first client stops,
  // or that client's last turn would wait for it for ever.
  insider.close();
  playing.join_all();
}

}  // namespace
