// Watching a match: the live view (--http) against a scripted match, bad
// requests that must not disturb it, the recording (--record) read back after
// a kill, and a replay (--replay) served.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/texts.h"
#include "net/client.h"
#include "net/socket.h"
#include "tests/browser.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kStillBot =
    "300 300 300 300 300 300 300 300 300\n400 400 400 400 400 400 400 400 400\n";

std::string view_address() {
  return "127.0.0.1:" + std::to_string(view_port());
}

using Reply = HttpReply;

// A process's peak memory in bytes (POSIX); 0 where it cannot be read.
uint64_t peak_memory(const ServerProcess& process) {
  std::smatch kb;
  const std::string status = read_file("/proc/" + std::to_string(process.pid()) + "/status");
  if (server_is_windows() || !std::regex_search(status, kb, std::regex("VmHWM:\\s+([0-9]+) kB"))) {
    return 0;
  }
  return std::stoull(kb[1]) * 1024;
}

Reply exchange(const std::string& request) {
  return http_exchange(view_port(), request);
}

Reply get(const std::string& path) {
  return http_get(view_port(), path);
}

// The peak memory of a replay of a recording of one short line: what a
// replay needs whatever it serves.
uint64_t replay_baseline_peak(const TempDir& dir) {
  dir.write("short.jsonl", "{\"turn\": 1, \"players\": [], \"hits\": []}\n");
  ServerProcess server;
  server.start(dir.path(), {"--replay", "short.jsonl", "--http", view_address()}, "", true);
  EXPECT_EQ(get("/turns.jsonl?from=0&count=1").status, 200);
  return peak_memory(server);
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
    server_.start(dir_.path(), args, "", !console);
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
  // Keeps the console's input open, for commands.
  bool console = false;
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
        // Its format, whatever the machine's pace: a round trip may take
        // more than a second on a loaded one.
        std::string("zolt_client_round_trip_seconds\\{player=\"0\"\\} [0-9]+\\.[0-9]{9}\n"),
        std::string("zolt_client_round_trip_seconds\\{player=\"1\"\\} [0-9]+\\.[0-9]{9}\n"),
        std::string("zolt_waiting_seconds [0-9]+\\.[0-9]{3}\n")}) {
    EXPECT_TRUE(std::regex_search(metrics.body, std::regex("(^|\n)" + line)))
        << line << metrics.body;
  }
}

// A view on every address is logged with the addresses a spectator can open.
TEST_F(Watched, TheLogNamesTheViewByAddressesThatReachIt) {
  start({"--http", "0.0.0.0:" + std::to_string(view_port())}, 1, 0);
  std::vector<std::string> addresses = socket_local_addresses();
  if (addresses.empty()) addresses.push_back("127.0.0.1");
  std::string want = "INFO live view on ";
  for (const std::string& address : addresses) {
    want += (address == addresses[0] ? "http://" : ", http://") + address + ":" +
            std::to_string(view_port()) + "/";
  }
  std::string log = server_.errors();
  log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());  // Windows' line ends
  EXPECT_NE(log.find(want + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("0.0.0.0:"), std::string::npos) << log;
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

// However the match ends, no player can join it while the view lingers,
// whatever slot is free.
TEST(Probes, NotReadyOnceTheMatchHasEnded) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass signals on";
  const struct {
    const char* name;
    void (*end)(WatchedMatch&);
  } cases[] = {
      {"no human client is left", [](WatchedMatch& match) { match.clients_[1]->close(); }},
      {"SIGTERM", [](WatchedMatch& match) { match.server_.send_signal(SIGTERM); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WatchedMatch match;
    match.start({"--http", view_address(), "--rejoin", "--view-linger", "600"}, 2, 0);
    match.join_all();
    match.play({at(1, 1, 0), at(2, 2, 0)});
    match.clients_[0]->close();  // dropped in turn 2: its slot free
    TurnView view;
    ASSERT_TRUE(client_turn(match.clients_[1]->link, at(3, 3, 0), 2, view));
    EXPECT_EQ(status_until("/readyz", 200), 200);
    c.end(match);
    ASSERT_TRUE(match.server_.wait_for_log("the live view shows the end for 600 s"))
        << match.server_.errors();
    EXPECT_EQ(get("/readyz").status, 503);
    match.server_.send_signal(SIGTERM);  // ends the lingering view
    EXPECT_GE(match.server_.wait_exit(), 0);
  }
}

// While the match is paused a kick frees a slot and a joiner takes it: each
// is told at once, not at the end of a turn that does not come.
TEST(Probes, ASlotFreedOrTakenWhilePausedIsToldAtOnce) {
  WatchedMatch match;
  match.console = true;
  match.start({"--http", view_address(), "--rejoin", "--console-commands", "--view-linger", "0"}, 2,
              0);
  // A command before the start leaves every slot open.
  match.server_.write_input("status\n");
  ASSERT_TRUE(match.server_.wait_for_output("waiting for players")) << match.server_.output();
  EXPECT_EQ(get("/readyz").status, 200);
  match.join_all();
  match.play({at(1, 1, 0), at(2, 2, 0)});
  match.server_.write_input("pause\n");
  ASSERT_TRUE(match.server_.wait_for_log("match paused by the operator (console) in turn "));
  // Asked once turn 2 was under way, the pause holds after it.
  if (match.server_.errors().find("(console) in turn 2") != std::string::npos) {
    match.play({at(1, 1, 0), at(2, 2, 0)});
  }
  EXPECT_EQ(get("/readyz").status, 503);
  match.server_.write_input("kick 1\n");
  ASSERT_TRUE(match.server_.wait_for_output("player 1 kicked")) << match.server_.output();
  EXPECT_EQ(status_until("/readyz", 200), 200);
  TestClient joiner;
  EXPECT_EQ(client_join(joiner.link), 2);
  int32_t index = -1, map = -1;
  client_learn(joiner.link, &index, &map);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(status_until("/readyz", 503), 503);
  match.server_.write_input("resume\n");
  ASSERT_TRUE(match.server_.wait_for_output("resumed")) << match.server_.output();
  EXPECT_EQ(get("/readyz").status, 503);
  match.server_.write_input("end\n");
  EXPECT_EQ(match.server_.wait_exit(), 0) << match.server_.errors();
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

// What the browser laid out, each a word or a number to compare; the marks'
// and arrows' centres are those of their boxes on the screen.
const char* const kDrawn = R"JS((() => {
  const centre = e => { const b = e.getBoundingClientRect(); return [b.x + b.width / 2, b.y + b.height / 2]; };
  const g = [...document.querySelectorAll('#players g.player')], mark = p => centre(g[p].querySelector('.human-mark'));
  const facing = [0, 1, 2, 3].map(p => {
    const [mx, my] = mark(p), [ax, ay] = centre(g[p].querySelector('.heading')), [tx, ty] = mark((p + 1) % 4);
    return ((ax - mx) * (tx - mx) + (ay - my) * (ty - my)) / Math.hypot(ax - mx, ay - my) / Math.hypot(tx - mx, ty - my) > 0.95 ? 'toward' : 'away';
  });
  const lines = [...document.querySelectorAll('#hits line')];
  const shot = lines.find(l => l.dataset.from === '1').getBoundingClientRect();
  const texts = [...document.querySelectorAll('.label, .health-number')].map(t => t.getBoundingClientRect()).filter(b => b.width > 0);
  const covered = texts.filter((a, i) => texts.some((b, j) => j > i && a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom));
  return [facing.join(' '), lines.map(l => l.dataset.from + '>' + l.dataset.target).sort().join(' '),
          Math.abs(shot.left - mark(1)[0]) < 2 && Math.abs(shot.top - mark(1)[1]) < 2 && Math.abs(shot.right - mark(2)[0]) < 24,
          covered.length, g.map(m => m.querySelector('.health-number').getBoundingClientRect().width > 0 ? m.querySelector('.health-number').textContent : '-').join(' '),
          new Set(g.map(m => getComputedStyle(m.querySelector('.human-mark')).fill)).size,
          Math.min(...g.map(m => parseFloat(getComputedStyle(m.querySelector('.label')).fontSize)))].join('\n');
})())JS";

// The page as a projector shows it: arrows as the headings mean them, each
// hit from shooter to target and in the feed, a colour per player, numbers
// that stay apart when players stand together, health beyond 0..100 written.
TEST_F(Watched, ThePageDrawsHeadingsHitsAndCrowdsLegibly) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  start({"--http", view_address()}, 6, 0);
  join_all();
  // Players 0 to 3 each face the next: 900 toward -y, 0 toward +x, 2700
  // toward +y, 1800 toward -x. Players 4 and 5 stand on player 0.
  std::vector<TurnReport> turn = {at(500, 500, 900),  at(500, 100, 0), at(900, 100, 2700),
                                  at(900, 500, 1800), at(500, 500, 0), at(500, 500, 0)};
  play(turn);
  const int32_t hits[6][2] = {{0, 0}, {12, 3},  {0, 0},
                              {5, 9}, {-50, 6}, {130, 5}};  // damage, target
  for (size_t q = 0; q < 6; ++q) {
    turn[q].damage = hits[q][0];
    turn[q].target = hits[q][1];
  }
  play(turn);
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  ASSERT_EQ(browser.eval_until("document.getElementById('turn').textContent == '2'"), "true");
  EXPECT_EQ(browser.eval(kDrawn),
            "toward toward toward toward\n"  // every arrow
            "1>2 4>5 5>4\n"                  // the hits on players, target 9 names none
            "true\n"                         // from player 1's mark to player 2's ring
            "0\n"                            // no label or health number covered
            "- - - - -30 150\n"              // health beyond 0..100
            "6\n"                            // colours
            "20");                           // the labels' type, in pixels
  const std::string feed = browser.eval("document.getElementById('feed').innerText");
  EXPECT_TRUE(std::regex_search(feed, std::regex("turn 2\\D+1\\D+2\\D+12"))) << feed;
  EXPECT_TRUE(std::regex_search(feed, std::regex("turn 2\\D+3\\D+no player\\D+9"))) << feed;
}

TEST_F(Watched, BeforeTheMatchThePageCountsThePlayersAndSaysWhereToConnect) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  start({"--http", view_address()}, 2, 1);
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const std::string lobby = "document.getElementById('lobby').innerText";
  EXPECT_EQ(browser.eval_until(lobby + ".includes('0 of 2')"), "true") << browser.eval(lobby);
  const std::string port = ":" + std::to_string(test_port());
  EXPECT_NE(browser.eval(lobby).find(port), std::string::npos) << browser.eval(lobby);
  TestClient first;
  ASSERT_EQ(client_join(first.link), 3);
  EXPECT_EQ(browser.eval_until(lobby + ".includes('1 of 2')"), "true") << browser.eval(lobby);
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
  const std::string hits = "}], \"hits\": [{\"from\": 0, \"damage\": 12, \"target\": 2}], ";
  EXPECT_NE(lines[1].find(hits), std::string::npos) << lines[1];
  // Its save comes last: a bot, both clients' addresses.
  const std::string save = "\"save\": {\"v\": 1, \"humans\": 2, \"bots\": 1, \"map\": 0, ";
  EXPECT_NE(lines[1].find(save), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 37), "\"peers\": [\"127.0.0.1\", \"127.0.0.1\"]}}");
  EXPECT_NE(lines[0].find("\"turn\": 1, "), std::string::npos);
  EXPECT_NE(lines[0].find("\"x\": 10, \"y\": 30"), std::string::npos) << lines[0];  // dept0.txt
  EXPECT_NE(lines[2].find("\"hits\": [], \"save\": "), std::string::npos);
  // The first line names the map and the bot's route; the others name a
  // route only once it has changed.
  EXPECT_NE(lines[0].find(", \"map_name\": \"Torvallind level 0\", \"routes\": [[300, 300, 300, "
                          "300, 300, 300, 300, 300, 300, 400, 400, 400, 400, 400, 400, 400, 400, "
                          "400]], \"hits\": "),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[1].find("routes"), std::string::npos) << lines[1];
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
    // The last run's recording would pass the wait below at once, and the
    // stop would then reach a server still starting, before it handles
    // signals.
    std::filesystem::remove(dir.path() + "/m.jsonl");
    ServerProcess server;
    server.start(dir.path(),
                 {"--humans", "0", "--bots", "4000", "--map", "0", "--record", "m.jsonl", "--http",
                  view_address()},
                 "", false);
    // Ends once the server has gone and its input with it.
    std::thread typist([&server] { server.write_input(std::string(4 << 20, 'k')); });
    // The stop comes some time after the first line, however slow the
    // machine: before it, there is no line to keep whole.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read_file(dir.path() + "/m.jsonl").empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(run_ms));
    server.send_signal(SIGTERM);
    const int exit_code = server.wait_exit();
    EXPECT_EQ(exit_code, 0);
    // A server that did not stop would leave the typist writing for ever.
    if (exit_code == -2) server.send_signal(SIGKILL);
    typist.join();
    EXPECT_NE(server.output().find(END_BANNER), std::string::npos);
    std::string recording = read_file(dir.path() + "/m.jsonl");
    // The end record comes last, whole, after the last turn's whole line.
    const size_t end = recording.rfind("{\"end\": {\"reason\": \"stopped\", ");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(recording.substr(recording.size() - 4), "]}}\n");
    recording.erase(end);
    ASSERT_FALSE(recording.empty());
    // A line ends with its save's peers: "]}}" and the line end.
    EXPECT_EQ(recording.substr(recording.size() - 4), "]}}\n");
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

// A recording is never overwritten: a match whose file exists takes the next
// free number and says so.
TEST(RecordOptions, AnExistingRecordingIsKeptAndTheNextNumberTaken) {
  TempDir dir;
  dir.write("lan1.jsonl", "an older match\n");
  dir.write("lan1-1.jsonl", "another\n");
  ServerProcess server;
  server.start(dir.path(), {"--humans", "0", "--bots", "0", "--map", "0", "--record", "lan1.jsonl"},
               "", true);
  EXPECT_EQ(server.wait_exit(), 0) << server.errors();
  EXPECT_EQ(read_file(dir.path() + "/lan1.jsonl") + read_file(dir.path() + "/lan1-1.jsonl"),
            "an older match\nanother\n");
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/lan1-2.jsonl"));
  EXPECT_NE(
      server.errors().find("'lan1.jsonl' exists and is kept; this match goes to 'lan1-2.jsonl'"),
      std::string::npos)
      << server.errors();
}

// A long recording is served in windows bounded in bytes, each with the
// routes in force before it, the server holds far less than the recording,
// and the page plays and seeks it window by window, never fetching it whole.
TEST(Replay, ALongRecordingIsPlayedAndSoughtInWindows) {
  TempDir dir;
  const int turns = 200000, route_change = 149990, hit = 150000;  // lines, from 0
  {
    std::ofstream out(dir.path() + "/long.jsonl", std::ios::binary);
    const std::string player = ", \"x\": 300, \"y\": 200, \"health\": 100, \"heading\": 2700}";
    const std::string players = "\"players\": [{\"index\": 0, \"human\": true" + player +
                                ", {\"index\": 1, \"human\": false" + player;
    for (int line = 0; line < turns; ++line) {
      out << "{\"turn\": " << line + 1 << ", \"map\": 1, \"relay_a\": -1, \"relay_b\": -1, "
          << players
          << (line == 0
                  ? "], \"map_name\": \"Vevoder\", \"routes\": [[1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 8, "
                    "7, 6, 5, 4, 3, 2, 1]"
              : line == route_change
                  ? "], \"routes\": [[5, 5, 5, 5, 5, 5, 5, 5, 5, 9, 8, 7, 6, 5, 4, 3, 2, 1]"
                  : "")
          << "], \"hits\": [" << (line == hit ? "{\"from\": 0, \"damage\": 7, \"target\": 2}" : "")
          << "]}\n";
    }
    out << "{\"turn\": " << turns + 1 << ", \"map\": 1, \"rel";  // cut short by a kill
  }
  const auto size = std::filesystem::file_size(dir.path() + "/long.jsonl");
  // The server's peak memory (POSIX), above that of a replay of one line.
  const uint64_t baseline = replay_baseline_peak(dir);
  const auto peak = [baseline](ServerProcess& replay) -> uint64_t {
    const uint64_t bytes = peak_memory(replay);
    return bytes > baseline ? bytes - baseline : 0;
  };
  ServerProcess server;
  server.start(dir.path(), {"--replay", "long.jsonl", "--http", view_address()}, "", true);

  const std::string first = "[[1, 2, 3, 4, 5, 6, 7, 8, 9, ",
                    changed = "[[5, 5, 5, 5, 5, 5, 5, 5, 5, ";
  const struct {
    int from;
    std::string routes;                                             // their start
  } windows[] = {{100, first}, {hit, changed}, {160000, changed}};  // 160000 is one of the index's
  for (const auto& w : windows) {
    SCOPED_TRACE(w.from);
    const Reply window = get("/turns.jsonl?from=" + std::to_string(w.from) + "&count=100000");
    EXPECT_EQ(window.status, 200);
    EXPECT_LE(window.body.size(), 1024u * 1024u + 200u);
    EXPECT_EQ(window.body.rfind(
                  "{\"from\": " + std::to_string(w.from) +
                      ", \"total\": 200000, \"map_name\": \"Vevoder\", \"routes\": " + w.routes,
                  0),
              0u)
        << window.body.substr(0, 200);
    EXPECT_NE(window.body.find("}\n{\"turn\": " + std::to_string(w.from + 1) + ", "),
              std::string::npos);
  }
  EXPECT_EQ(get("/turns.jsonl?from=200000&count=1").status, 404);  // the line cut short
  EXPECT_EQ(get("/turns.jsonl?from=x").status, 400);
  // The recording held once would pass it; the sanitizers' runtime keeps what
  // the windows freed a while, and stays well below.
  EXPECT_LT(peak(server), size / 2) << "more memory for a replay of " << size << " bytes";

  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const std::string turn = "Number(document.getElementById('turn').textContent)";
  EXPECT_EQ(browser.eval_until(turn + " > 30"), "true") << browser.eval(turn);  // it plays
  browser.eval(
      "(() => { document.getElementById('play').click(); const s = "
      "document.getElementById('slider');"
      "s.value = 150000; s.dispatchEvent(new Event('input')); })()");
  EXPECT_EQ(browser.eval_until(turn + " == 150001"), "true") << browser.eval(turn);
  EXPECT_EQ(
      browser.eval("[document.getElementById('mapline').innerText, "
                   "document.querySelector('#routes polyline').points[0].x == "
                   "document.querySelector('#routes polyline').points[1].x, "
                   "[...document.querySelectorAll('#hits line')].map(l => l.dataset.from + '>' + "
                   "l.dataset.target)].join(' ')"),
      "Map 1 Vevoder true 0>1");  // the changed route, its first x all 5
  const std::string fetched = browser.eval(
      "performance.getEntriesByType('resource').map(r => r.name.replace(/^.*\\//, '') + ' ' + "
      "r.encodedBodySize).join('\\n')");
  EXPECT_EQ(fetched.find("recording.jsonl"), std::string::npos) << fetched;
  uint64_t bytes = 0;
  std::istringstream in(fetched);
  for (std::string name, count; in >> name >> count;) bytes += std::stoull(count);
  EXPECT_LT(bytes, size / 10) << fetched;
}

// What a crash or a power cut leaves in a recording (a NUL byte in a line,
// a line that never ended, a 50 MB line) costs the replay that line alone:
// it is served as damaged in its place, its neighbours where they are, and
// the replay's memory stays bounded; the page shows the turn as missing, and
// where the match went on after a restart.
TEST(Replay, ADamagedRecordingIsServedTurnForTurn) {
  TempDir dir;
  const int turns = 2000;
  const auto turn = [](int k) {  // line k, turn k + 1
    return "{\"turn\": " + std::to_string(k + 1) +
           ", \"map\": 1, \"relay_a\": -1, \"relay_b\": -1, \"players\": [{\"index\": 0, "
           "\"human\": true, \"x\": 300, \"y\": 200, \"health\": 100, \"heading\": 0}], "
           "\"hits\": []}";
  };
  {
    std::ofstream out(dir.path() + "/damaged.jsonl", std::ios::binary);
    for (int k = 0; k < turns; ++k) {
      std::string line = turn(k);
      if (k == 100 || k == 1990) line[30] = '\0';
      if (k == 500) line = "{\"turn\": 501, " + std::string(50 * 1024 * 1024, ' ') + "}";
      if (k == 1995)
        out << "{\"restart\": {\"after_turn\": 1995, \"at\": \"2026-12-08T12:00:00Z\"}}\n";
      out << line << "\n";
    }
  }
  const uint64_t baseline = replay_baseline_peak(dir);
  const auto peak = [baseline](ServerProcess& replay) -> uint64_t {
    const uint64_t bytes = peak_memory(replay);
    return bytes > baseline ? bytes - baseline : 0;
  };
  ServerProcess server;
  server.start(dir.path(), {"--replay", "damaged.jsonl", "--http", view_address()}, "", true);

  const auto served = [&turn](int k) {
    if (k == 100 || k == 1990) {
      return "{\"damaged\": {\"line\": " + std::to_string(k + 1) +
             ", \"why\": \"holds a NUL byte\"}}";
    }
    if (k == 500)
      return std::string(
          "{\"damaged\": {\"line\": 501, \"why\": \"is longer than 1048576 bytes\"}}");
    return turn(k);
  };
  const struct {
    int from, count, lines;
  } windows[] = {{1792, 256, 208}, {1999, 1, 1}, {99, 3, 3},
                 {0, 4096, 2000},  {499, 3, 3},  {7, 0, 0}};
  for (const auto& w : windows) {
    SCOPED_TRACE(std::to_string(w.from) + " " + std::to_string(w.count));
    const Reply window =
        get("/turns.jsonl?from=" + std::to_string(w.from) + "&count=" + std::to_string(w.count));
    ASSERT_EQ(window.status, 200) << window.body;
    std::istringstream in(window.body);
    std::string header, line;
    std::getline(in, header);
    EXPECT_EQ(header.rfind("{\"from\": " + std::to_string(w.from) + ", \"total\": 2000, ", 0), 0u)
        << header;
    EXPECT_NE(
        header.find(", \"restarts\": [{\"after_turn\": 1995, \"at\": \"2026-12-08T12:00:00Z\"}], "),
        std::string::npos)
        << header;
    int k = w.from;
    for (; std::getline(in, line); ++k) ASSERT_EQ(line, served(k)) << "turn " << k;
    EXPECT_EQ(k - w.from, w.lines);
  }
  EXPECT_EQ(get("/turns.jsonl?from=2000&count=1").status, 404);
  // The 50 MB line held once would pass this; it is read past in pieces.
  EXPECT_LT(peak(server), 24u * 1024 * 1024);
  EXPECT_NE(server.errors().find("line 101 of 'damaged.jsonl' holds a NUL byte: served as damaged"),
            std::string::npos)
      << server.errors();

  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const std::string turn_shown = "Number(document.getElementById('turn').textContent)";
  ASSERT_EQ(browser.eval_until(turn_shown + " > 0"), "true");
  const auto seek = [&browser](int to) {
    browser.eval("(() => { const s = document.getElementById('slider'); s.value = " +
                 std::to_string(to) + "; s.dispatchEvent(new Event('input')); })()");
  };
  browser.eval("document.getElementById('play').click()");
  const std::string note = "document.getElementById('replaynote').textContent";
  seek(99);
  EXPECT_EQ(browser.eval_until(turn_shown + " == 100"), "true") << browser.eval(turn_shown);
  seek(100);
  EXPECT_EQ(
      browser.eval_until(note + " == 'turn missing: line 101 of the recording holds a NUL byte'"),
      "true")
      << browser.eval(note);
  seek(101);
  EXPECT_EQ(browser.eval_until(turn_shown + " == 102"), "true") << browser.eval(turn_shown);
  EXPECT_EQ(browser.eval(note), "");
  seek(1996);
  EXPECT_EQ(browser.eval_until(turn_shown + " == 1997"), "true") << browser.eval(turn_shown);
  EXPECT_EQ(browser.eval(note), "restarted after turn 1995 at 2026-12-08T12:00:00Z");
  EXPECT_EQ(browser.eval("document.getElementById('error').textContent"), "");
}

// A replay ends when the operator stops it, as a match does: the signal's
// handler only records the stop, which the replay must then act on.
TEST(Replay, ItEndsWhenStopped) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass signals on";
  TempDir dir;
  dir.write("one.jsonl", "{\"turn\": 1, \"players\": [], \"hits\": []}\n");
  for (const int stop : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(stop);
    ServerProcess server;
    server.start(dir.path(), {"--replay", "one.jsonl", "--http", view_address()}, "", true);
    ASSERT_EQ(get("/turns.jsonl?from=0&count=1").status, 200);
    server.send_signal(stop);
    EXPECT_EQ(server.wait_exit(), 0) << server.errors();
    EXPECT_NE(server.errors().find(stop == SIGTERM ? "INFO replay stopped by SIGTERM"
                                                   : "INFO replay stopped by SIGINT"),
              std::string::npos)
        << server.errors();
    EXPECT_EQ(server.output(), "");
  }
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
      {{"--record", "x-%y.jsonl", "--humans", "0", "--bots", "0", "--map", "0"}, 2},
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
