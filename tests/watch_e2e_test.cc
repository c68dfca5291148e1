// Watching a match: the live view (--http) against a scripted match, bad
// requests that must not disturb it, the recording (--record) read back after
// a kill, and a replay (--replay) served.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/texts.h"
#include "net/client.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kStillBot =
    "300 300 300 300 300 300 300 300 300\n400 400 400 400 400 400 400 400 400\n";

// A free port other than test_port(), for the view.
uint16_t view_port() {
  static const uint16_t port = [] {
    for (;;) {
      const uint16_t free = free_port();
      if (free != test_port()) return free;
    }
  }();
  return port;
}

std::string view_address() {
  return "127.0.0.1:" + std::to_string(view_port());
}

struct Reply {
  int status = 0;  // 0: no answer
  std::string head, body;
};

// Sends request bytes on a new connection and reads the answer until the
// server closes it.
Reply exchange(const std::string& request) {
  std::string err;
  SocketHandle s = INVALID_SOCKET_HANDLE;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while ((s = socket_connect("127.0.0.1", view_port(), &err)) == INVALID_SOCKET_HANDLE &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Reply reply;
  if (s == INVALID_SOCKET_HANDLE) return reply;
  socket_set_receive_timeout(s, 20000);
  socket_send(s, request.data(), request.size());
  std::string all;
  char buffer[4096];
  for (;;) {
    bool timed_out = false;
    const size_t got = socket_recv(s, buffer, sizeof buffer, &timed_out);
    if (got == 0) break;
    all.append(buffer, got);
  }
  socket_close(s, true);
  const size_t end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
  reply.status = std::stoi(all.substr(9, 3));
  reply.head = all.substr(0, end);
  reply.body = all.substr(end + 4);
  return reply;
}

Reply get(const std::string& path) {
  return exchange("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

// Asks for path until its body holds pattern; the last reply.
Reply get_until(const std::string& path, const std::string& pattern) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  Reply reply;
  do {
    reply = get(path);
    if (std::regex_search(reply.body, std::regex(pattern))) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  return reply;
}

TurnReport at(int32_t x, int32_t y, int32_t heading) {
  TurnReport report;
  report.x = x;
  report.y = y;
  report.heading = heading;
  return report;
}

// A match on the real server, and its clients.
struct WatchedMatch {
  void start(std::vector<std::string> args, int humans, int bots) {
    humans_ = humans;
    players_ = humans + bots;
    dir_.write("bot.txt", kStillBot);
    dir_.write("dept0.txt", "10 20\n30 40\n");
    args.insert(args.begin(), {"localhost", "--humans", std::to_string(humans), "--bots",
                               std::to_string(bots), "--map", "0"});
    server_.start(dir_.path(), args, "", true);
    ASSERT_TRUE(server_.wait_for_output(WAITING)) << server_.errors();
  }
  void join_all() {
    for (int q = 0; q < humans_; ++q) {
      clients_.push_back(std::make_unique<TestClient>());
      ASSERT_EQ(client_join(clients_.back()->link), players_);
    }
    for (int q = 0; q < humans_; ++q) {
      int32_t index = -1, map = -1;
      client_learn(clients_[static_cast<size_t>(q)]->link, &index, &map);
      ASSERT_EQ(index, q);
    }
  }
  // One turn: each client q reports reports[q].
  void play(const std::vector<TurnReport>& reports) {
    TurnView view;
    for (size_t q = 0; q < reports.size(); ++q) {
      ASSERT_TRUE(client_turn(clients_[q]->link, reports[q], players_, view));
    }
  }

  TempDir dir_;
  ServerProcess server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
  int humans_ = 0, players_ = 0;
};

class Watched : public ::testing::Test, protected WatchedMatch {};

TEST_F(Watched, StateAndMetricsShowTheTablesOfTheLastExchange) {
  start({"--http", view_address()}, 2, 1);
  EXPECT_EQ(get("/state.json").status, 503);  // no tables before the match starts
  join_all();
  play({at(1, 1, 900), at(2, 2, 900)});  // the first turn's positions come from dept0.txt
  TurnReport hit = at(111, 222, 450);
  hit.damage = 7;
  hit.target = 3;
  hit.relay_a = 55;
  play({hit, at(333, 444, 1800)});
  const std::string want =
      "{\"turn\": 2, \"map\": 0, \"relay_a\": 55, \"relay_b\": -1, \"players\": ["
      "{\"index\": 0, \"human\": true, \"x\": 111, \"y\": 222, \"health\": 100, \"heading\": 450}, "
      "{\"index\": 1, \"human\": true, \"x\": 333, \"y\": 444, \"health\": 100, \"heading\": "
      "1800}, "
      "{\"index\": 2, \"human\": false, \"x\": 300, \"y\": 400, \"health\": 93, \"heading\": ";
  const Reply state = get_until("/state.json", "\"turn\": 2, .*\"x\": 333");
  EXPECT_EQ(state.status, 200);
  EXPECT_NE(state.head.find("Content-Type: application/json"), std::string::npos) << state.head;
  EXPECT_EQ(state.body.substr(0, want.size()), want);

  // Each exchange is 4P + 7 messages each way, one more with a hit.
  const int64_t messages = 2 * (4 * exchange_messages(3, false) + exchange_messages(3, true) -
                                exchange_messages(3, false));
  const Reply metrics = get_until("/metrics", "zolt_turns_total 2\n");
  EXPECT_EQ(metrics.status, 200);
  for (const std::string& line :
       {std::string("zolt_turns_total 2\n"),
        "zolt_messages_total " + std::to_string(messages) + "\n",
        std::string("zolt_players\\{kind=\"human\"\\} 2\n"),
        std::string("zolt_players\\{kind=\"bot\"\\} 1\n"),
        std::string("zolt_client_round_trip_seconds\\{player=\"0\"\\} 0\\.[0-9]{9}\n"),
        std::string("zolt_client_round_trip_seconds\\{player=\"1\"\\} 0\\.[0-9]{9}\n"),
        std::string("zolt_waiting_seconds [0-9]+\\.[0-9]{3}\n")}) {
    EXPECT_TRUE(std::regex_search(metrics.body, std::regex("(^|\n)" + line)))
        << line << metrics.body;
  }
}

// Asks for path until it answers with status; the last status.
int status_until(const std::string& path, int status) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  int got = 0;
  while ((got = get(path).status) != status && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return got;
}

TEST(Probes, ReadyWhileAPlayerCanJoin) {
  const struct {
    const char* option;
    int after_a_drop;
  } cases[] = {{"--drop-broken-clients", 503}, {"--rejoin", 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    WatchedMatch match;
    match.start({"--http", view_address(), c.option}, 2, 0);
    EXPECT_EQ(get("/healthz").status, 200);
    EXPECT_EQ(get("/readyz").status, 200);  // before the match starts
    match.join_all();
    match.play({at(1, 1, 0), at(2, 2, 0)});
    EXPECT_EQ(get("/readyz").status, 503);  // every slot taken
    match.clients_[0]->close();             // dropped in turn 2
    TurnView view;
    ASSERT_TRUE(client_turn(match.clients_[1]->link, at(3, 3, 0), 2, view));
    EXPECT_EQ(status_until("/readyz", c.after_a_drop), c.after_a_drop);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(get("/readyz").status, c.after_a_drop);
    EXPECT_EQ(get("/healthz").status, 200);
  }
}

TEST_F(Watched, AStalledClientShowsItsWaitingSeconds) {
  start({"--http", view_address()}, 1, 0);
  join_all();
  play({at(1, 1, 0)});
  // The client says nothing in turn 2: the server waits for it.
  const Reply view = get_until("/view.json", "\"waiting\": \\{\"player\": 0, \"seconds\": [1-9]");
  EXPECT_TRUE(
      std::regex_search(view.body, std::regex("\"waiting\": \\{\"player\": 0, \"seconds\": [1-9]")))
      << view.body;
  const Reply metrics = get("/metrics");
  EXPECT_TRUE(std::regex_search(metrics.body, std::regex("\nzolt_waiting_seconds [1-9]")))
      << metrics.body;
}

TEST_F(Watched, BadRequestsGetTheirErrorAndTheMatchGoesOn) {
  start({"--http", view_address()}, 1, 0);
  join_all();
  // Slow clients: half a request each, held open while the match plays.
  std::vector<SocketHandle> slow;
  for (int i = 0; i < 8; ++i) {
    std::string err;
    slow.push_back(socket_connect("127.0.0.1", view_port(), &err));
    socket_send(slow.back(), "GET /sta", 8);
  }
  const struct {
    const char* name;
    std::string request;
    int status;
  } cases[] = {
      {"unknown path", "GET /etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
      {"a path up", "GET /../state.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
      {"not GET",
       "POST /state.json HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       405},
      {"a body", "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 413},
      {"malformed", "GARBAGE\r\n\r\n", 400},
      {"bad version", "GET / HTTP/9.9.9\r\n\r\n", 400},
      {"oversized", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
       431},
  };
  for (int turn = 0; turn < 5; ++turn) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(exchange(c.request).status, c.status);
    }
    play({at(turn, turn, 0)});
  }
  const Reply state = get_until("/state.json", "\"turn\": 5,");
  EXPECT_EQ(state.status, 200);
  EXPECT_NE(state.body.find("\"x\": 4, \"y\": 4"), std::string::npos) << state.body;
  for (SocketHandle s : slow) socket_close(s, true);
  EXPECT_TRUE(server_.running());
}

// Runs a command and returns its standard output.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

std::string chromium(const TempDir& profile, const std::string& what) {
  return "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
         "--disable-background-networking --disable-component-update --disable-sync "
         "--user-data-dir=" +
         profile.path() + " --virtual-time-budget=3000 " + what + " http://" + view_address() +
         "/ 2>/dev/null";
}

TEST_F(Watched, TheBrowserShowsEveryPlayerWhereItsClientPutIt) {
  if (run("command -v chromium").empty()) GTEST_SKIP() << "chromium is not installed";
  dir_.write("bot.txt", kStillBot);
  start({"--http", view_address()}, 3, 1);
  join_all();
  const std::vector<TurnReport> reports = {at(120, 340, 450), at(800, 150, 900),
                                           at(500, 650, 2250)};
  play(reports);
  play(reports);
  // The page draws once its first poll is answered; a browser slowed by a
  // busy machine may end its virtual time before that, so it gets a few tries.
  std::string dom;
  for (int attempt = 0; attempt < 5 && dom.find("data-player=\"3\"") == std::string::npos;
       ++attempt) {
    TempDir profile;
    dom = run(chromium(profile, "--dump-dom"));
  }
  const std::vector<std::pair<int32_t, int32_t>> want = {
      {120, 340}, {800, 150}, {500, 650}, {300, 400}};
  std::vector<double> screen_x;
  for (size_t p = 0; p < want.size(); ++p) {
    SCOPED_TRACE(p);
    std::smatch mark;
    // Player 0's mark may carry "stalled" too: the server waits for its next turn.
    ASSERT_TRUE(std::regex_search(
        dom, mark,
        std::regex("<g data-player=\"" + std::to_string(p) +
                   "\" class=\"player (human|bot)[^\"]*\"[^>]*"
                   "transform=\"translate\\(([-0-9.]+),([-0-9.]+)\\)\" data-x=\"([-0-9]+)\" "
                   "data-y=\"([-0-9]+)\"")))
        << dom;
    EXPECT_EQ(mark[1], p < 3 ? "human" : "bot");
    EXPECT_EQ(std::stoi(mark[4]), want[p].first);
    EXPECT_EQ(std::stoi(mark[5]), want[p].second);
    screen_x.push_back(std::stod(mark[2]));
  }
  // The drawing keeps the order of the coordinates: 120 < 300 < 500 < 800.
  EXPECT_LT(screen_x[0], screen_x[3]);
  EXPECT_LT(screen_x[3], screen_x[2]);
  EXPECT_LT(screen_x[2], screen_x[1]);
  EXPECT_NE(dom.find("<polyline"), std::string::npos);  // the bot's route

  // A picture of the page, kept beside the test programs.
  std::filesystem::create_directories("artifacts");
  const std::string png = std::filesystem::absolute("artifacts/watch-page.png").string();
  std::filesystem::remove(png);
  TempDir profile2;
  run(chromium(profile2, "--screenshot=" + png + " --window-size=1000,700"));
  EXPECT_TRUE(std::filesystem::exists(png)) << png;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(Watched, TheRecordingHoldsEveryTurnAfterAKill) {
  start({"--record", "match.jsonl"}, 2, 1);
  join_all();
  play({at(1, 1, 0), at(2, 2, 0)});
  TurnReport hit = at(5, 6, 70);
  hit.damage = 12;
  hit.target = 2;
  play({hit, at(7, 8, 90)});
  play({at(9, 10, 0), at(11, 12, 0)});
  // Turn 3's line is flushed once its last exchange is over.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (lines_of(read_file(dir_.path() + "/match.jsonl")).size() < 3 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  server_.kill();
  const std::vector<std::string> lines = lines_of(read_file(dir_.path() + "/match.jsonl"));
  ASSERT_EQ(lines.size(), 3u);
  const std::string turn_2 =
      "{\"turn\": 2, \"map\": 0, \"relay_a\": -1, \"relay_b\": -1, \"players\": ["
      "{\"index\": 0, \"human\": true, \"x\": 5, \"y\": 6, \"health\": 100, \"heading\": 70}, "
      "{\"index\": 1, \"human\": true, \"x\": 7, \"y\": 8, \"health\": 88, \"heading\": 90}, "
      "{\"index\": 2, \"human\": false, \"x\": 300, \"y\": 400, \"health\": 100, \"heading\": ";
  EXPECT_EQ(lines[1].substr(0, turn_2.size()), turn_2);
  const std::string hits = "}], \"hits\": [{\"from\": 0, \"damage\": 12, \"target\": 2}]}";
  EXPECT_EQ(lines[1].substr(lines[1].size() - hits.size()), hits);
  EXPECT_NE(lines[0].find("\"turn\": 1, "), std::string::npos);
  EXPECT_NE(lines[0].find("\"x\": 10, \"y\": 30"), std::string::npos) << lines[0];  // dept0.txt
  EXPECT_NE(lines[2].find("\"hits\": []}"), std::string::npos);
}

TEST(Stop, TheRecordingEndsWithAWholeLine) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass signals on";
  TempDir dir;
  dir.write("bot.txt", "");
  // 4000 bots paced by keys that keep coming: lines of about 300 KB, each
  // written in several pieces, one after another; the stop comes while the
  // server writes.
  for (const int run_ms : {60, 110, 160, 210}) {
    SCOPED_TRACE(run_ms);
    ServerProcess server;
    server.start(dir.path(),
                 {"--humans", "0", "--bots", "4000", "--map", "0", "--record", "m.jsonl", "--http",
                  view_address()},
                 "", false);
    // Ends once the server has gone and its input with it.
    std::thread typist([&server] { server.write_input(std::string(4 << 20, 'k')); });
    std::this_thread::sleep_for(std::chrono::milliseconds(run_ms));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
    typist.join();
    EXPECT_NE(server.output().find(END_BANNER), std::string::npos);
    const std::string recording = read_file(dir.path() + "/m.jsonl");
    ASSERT_FALSE(recording.empty());
    // A line ends with its hits: "]}" and the line end.
    EXPECT_EQ(recording.substr(recording.size() - 3), "]}\n");
  }
}

TEST_F(Watched, ARecordingThatCannotBeWrittenIsLoggedOnceAndTheMatchGoesOn) {
  if (server_is_windows()) GTEST_SKIP() << "the file size limit is set for a POSIX process";
  // A recording must be a regular file: the disk fills, here as the file
  // reaches a size limit, within the first turn's line.
  server_.limits = {{RLIMIT_FSIZE, 100}};
  start({"--record", "match.jsonl"}, 1, 0);
  join_all();
  for (int turn = 0; turn < 5; ++turn) play({at(turn, turn, 0)});
  clients_.clear();
  EXPECT_EQ(server_.wait_exit(), 1);
  const std::string log = server_.errors();
  const std::regex error("ERROR the recording 'match.jsonl' could not be written in turn 1 ");
  EXPECT_EQ(
      std::distance(std::sregex_iterator(log.begin(), log.end(), error), std::sregex_iterator()), 1)
      << log;
  EXPECT_NE(log.find("match over after 5 turns"), std::string::npos) << log;
}

TEST(Replay, TheRecordingIsServedWithThePageAndNoMatch) {
  TempDir dir;
  const std::string recording =
      "{\"turn\": 1, \"map\": 0, \"relay_a\": -1, \"relay_b\": -1, \"players\": [{\"index\": 0, "
      "\"human\": true, \"x\": 4, \"y\": 5, \"health\": 100, \"heading\": 0}], \"hits\": []}\n";
  dir.write("old.jsonl", recording);
  ServerProcess server;
  server.start(dir.path(), {"--replay", "old.jsonl", "--http", view_address()}, "", true);
  const Reply page = get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<svg"), std::string::npos);
  EXPECT_EQ(get("/recording.jsonl").body, recording);
  EXPECT_EQ(get("/view.json").body, "{\"replay\": true}");
  EXPECT_EQ(get("/state.json").status, 404);
  // No match: nothing listens for clients.
  std::string err;
  const SocketHandle client = socket_connect("127.0.0.1", test_port(), &err);
  EXPECT_EQ(client, INVALID_SOCKET_HANDLE);
  socket_close(client, true);
  EXPECT_EQ(server.output(), "");
  EXPECT_TRUE(server.running());
}

TEST(ViewOptions, ABadViewIsRefusedBeforeTheMatch) {
  TempDir dir;
  // Another program holds the view's port.
  std::string err;
  const SocketHandle holder = socket_bind("127.0.0.1", view_port(), &err);
  ASSERT_TRUE(socket_listen(holder, 1, &err)) << err;
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {{"--http", "127.0.0.1"}, 2},
      {{"--http", "localhost:8080"}, 2},
      {{"--replay", "x.jsonl"}, 2},
      {{"--replay", "missing.jsonl", "--http", view_address()}, 2},
      {{"--record", "no/such/folder/x.jsonl", "--humans", "0", "--bots", "0", "--map", "0"}, 2},
      {{"--http", view_address(), "--humans", "1", "--bots", "0", "--map", "0"}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ServerProcess server;
    server.start(dir.path(), c.args, "", true);
    EXPECT_EQ(server.wait_exit(), c.code) << server.errors();
  }
  socket_close(holder);
}

}  // namespace
