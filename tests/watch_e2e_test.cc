// Watching a match: the live view (--http) against a scripted match, bad
// requests that must not disturb it, the recording (--record) read back after
// a kill, and a replay (--replay) served.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
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

class Watched : public ::testing::Test {
 protected:
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

// Per drawn player, as the browser laid it out: "index cx cy ax ay lx ly lw lh
// health-number nx ny nw nh" with the centres of its mark and its heading
// arrow, its label's box, and its health number with its box ("-" and zeros
// when none is shown), in screen pixels.
const char* const kLayout = R"JS((() => {
  const out = [];
  for (const g of document.querySelectorAll('#players g.player')) {
    const box = e => e.getBoundingClientRect();
    const m = box(g.querySelector('.human-mark, .bot-mark')), a = box(g.querySelector('.heading'));
    const l = box(g.querySelector('.label'));
    const n = box(g.querySelector('.health-number'));
    out.push([g.dataset.player, m.x + m.width / 2, m.y + m.height / 2, a.x + a.width / 2,
              a.y + a.height / 2, l.x, l.y, l.width, l.height,
              n.width > 0 ? g.querySelector('.health-number').textContent : '-', n.x, n.y,
              n.width, n.height].join(' '));
  }
  return out.join('\n');
})())JS";

struct Box {
  double x, y, w, h;
};

struct Drawn {
  double cx, cy, ax, ay;
  Box label;
  std::string health_number;
  Box number;
};

std::vector<Drawn> drawn(const std::string& layout) {
  std::vector<Drawn> players;
  std::istringstream in(layout);
  for (std::string line; std::getline(in, line);) {
    std::istringstream row(line);
    size_t p;
    Drawn d;
    row >> p >> d.cx >> d.cy >> d.ax >> d.ay >> d.label.x >> d.label.y >> d.label.w >> d.label.h >>
        d.health_number >> d.number.x >> d.number.y >> d.number.w >> d.number.h;
    if (players.size() <= p) players.resize(p + 1);
    players[p] = d;
  }
  return players;
}

// Opens the page and waits until it shows the turn; false if it cannot.
bool open_page(Browser& browser, int turn) {
  if (!browser.open("http://" + view_address() + "/")) return false;
  return browser.eval_until("document.getElementById('turn').textContent == '" +
                            std::to_string(turn) + "'") == "true";
}

TEST_F(Watched, EveryArrowPointsWhereItsHeadingGoes) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  start({"--http", view_address()}, 4, 0);
  join_all();
  // Each player faces the next: 900 toward -y, 0 toward +x, 2700 toward +y,
  // 1800 toward -x.
  const std::vector<TurnReport> reports = {at(500, 500, 900), at(500, 100, 0), at(900, 100, 2700),
                                           at(900, 500, 1800)};
  play(reports);
  play(reports);
  Browser browser;
  ASSERT_TRUE(open_page(browser, 2)) << browser.error();
  const std::vector<Drawn> players = drawn(browser.eval(kLayout));
  ASSERT_EQ(players.size(), 4u);
  for (size_t p = 0; p < 4; ++p) {
    SCOPED_TRACE(p);
    const Drawn& from = players[p];
    const Drawn& to = players[(p + 1) % 4];
    const double ax = from.ax - from.cx, ay = from.ay - from.cy;
    const double tx = to.cx - from.cx, ty = to.cy - from.cy;
    const double cosine = (ax * tx + ay * ty) / std::hypot(ax, ay) / std::hypot(tx, ty);
    EXPECT_GT(cosine, 0.95) << "arrow (" << ax << ", " << ay << "), next player (" << tx << ", "
                            << ty << ")";
  }
}

TEST_F(Watched, HitsAreDrawnFromShooterToTargetAndListed) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  start({"--http", view_address()}, 3, 1);
  join_all();
  play({at(100, 100, 0), at(700, 100, 0), at(400, 600, 0)});
  TurnReport shot = at(100, 100, 0), missed = at(400, 600, 0);
  shot.damage = 12;
  shot.target = 2;  // player 1
  missed.damage = 5;
  missed.target = 9;  // names no player
  play({shot, at(700, 100, 0), missed});
  Browser browser;
  ASSERT_TRUE(open_page(browser, 2)) << browser.error();
  const std::string lines = browser.eval_until(R"JS([...document.querySelectorAll('#hits line')]
      .map(l => { const b = l.getBoundingClientRect();
                  return [l.dataset.from, l.dataset.target, b.left, b.top, b.right, b.bottom].join(' '); })
      .join('\n'))JS");
  const std::vector<Drawn> players = drawn(browser.eval(kLayout));
  ASSERT_EQ(players.size(), 4u);
  std::istringstream in(lines);
  int from = -1, target = -1;
  double left = 0, top = 0, right = 0, bottom = 0;
  ASSERT_TRUE(in >> from >> target >> left >> top >> right >> bottom) << lines;
  EXPECT_EQ(from, 0);
  EXPECT_EQ(target, 1);  // the player, target 2 on the wire
  // The line runs from the shooter's mark to the ring around its target:
  // player 0 is left of player 1 on the same row.
  EXPECT_NEAR(left, players[0].cx, 2);
  EXPECT_NEAR(right, players[1].cx, 24);
  EXPECT_NEAR(top, players[0].cy, 2);
  EXPECT_NEAR(bottom, players[1].cy, 2);
  EXPECT_FALSE(in >> from) << "a hit on no player is drawn: " << lines;
  const std::string feed = browser.eval("document.getElementById('feed').innerText");
  EXPECT_TRUE(std::regex_search(feed, std::regex("turn 2\\D+0\\D+1\\D+12"))) << feed;
  EXPECT_TRUE(std::regex_search(feed, std::regex("turn 2\\D+2\\D+no player\\D+9"))) << feed;
}

TEST_F(Watched, PlayersStandingTogetherStayLegible) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  start({"--http", view_address()}, 3, 1);
  join_all();
  play({at(500, 500, 0), at(500, 500, 0), at(500, 500, 0)});
  TurnReport heal = at(500, 500, 0), wound = at(500, 500, 0);
  heal.damage = -50;
  heal.target = 3;  // player 2 to 150
  wound.damage = 130;
  wound.target = 2;  // player 1 to -30
  play({heal, wound, at(500, 500, 0)});
  Browser browser;
  ASSERT_TRUE(open_page(browser, 2)) << browser.error();
  const std::vector<Drawn> players = drawn(browser.eval(kLayout));
  ASSERT_EQ(players.size(), 4u);
  // No label or health number covers another.
  std::vector<Box> texts;
  for (const Drawn& d : players) {
    texts.push_back(d.label);
    if (d.number.w > 0) texts.push_back(d.number);
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = i + 1; j < texts.size(); ++j) {
      const Box &a = texts[i], &b = texts[j];
      EXPECT_TRUE(a.x + a.w <= b.x || b.x + b.w <= a.x || a.y + a.h <= b.y || b.y + b.h <= a.y)
          << "texts " << i << " and " << j << " overlap";
    }
  }
  const std::string want[] = {"-", "-30", "150", "-"};
  for (size_t p = 0; p < players.size(); ++p) EXPECT_EQ(players[p].health_number, want[p]) << p;
  // Large type, and a colour of its own per player, its label in that colour.
  const std::string style = browser.eval(R"JS([...document.querySelectorAll('#players g.player')]
      .map(g => [getComputedStyle(g.querySelector('.label')).fontSize,
                 getComputedStyle(g.querySelector('.human-mark, .bot-mark')).fill,
                 getComputedStyle(g.querySelector('.label')).fill].join(' ')).join('\n'))JS");
  std::istringstream in(style);
  std::set<std::string> colours;
  for (std::string size, fill, label, rest; in >> size >> fill;) {
    std::getline(in, rest);
    EXPECT_GE(std::stod(size), 16) << style;
    colours.insert(fill + rest);
  }
  EXPECT_EQ(colours.size(), 4u) << style;
  EXPECT_GE(std::stod(browser.eval("parseFloat(getComputedStyle(document.body).fontSize)")), 16);
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
  const std::string hits = "}], \"hits\": [{\"from\": 0, \"damage\": 12, \"target\": 2}]}";
  EXPECT_EQ(lines[1].substr(lines[1].size() - hits.size()), hits);
  EXPECT_NE(lines[0].find("\"turn\": 1, "), std::string::npos);
  EXPECT_NE(lines[0].find("\"x\": 10, \"y\": 30"), std::string::npos) << lines[0];  // dept0.txt
  EXPECT_NE(lines[2].find("\"hits\": []}"), std::string::npos);
  // The first line names the map and the bot's route; the others name a
  // route only once it has changed.
  EXPECT_NE(lines[0].find(", \"map_name\": \"Torvallind level 0\", \"routes\": [[300, 300, 300, "
                          "300, 300, 300, 300, 300, 300, 400, 400, 400, 400, 400, 400, 400, 400, "
                          "400]], \"hits\": "),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[1].find("routes"), std::string::npos) << lines[1];
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

TEST(Replay, ThePageShowsTheRoutesTheMapAndTheHits) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  TempDir dir;
  const std::string players =
      "\"players\": [{\"index\": 0, \"human\": true, \"x\": 4, \"y\": 5, \"health\": 100, "
      "\"heading\": 0}, {\"index\": 1, \"human\": false, \"x\": 100, \"y\": 100, "
      "\"health\": 93, \"heading\": 0}]";
  dir.write("old.jsonl",
            "{\"turn\": 1, \"map\": 3, \"relay_a\": -1, \"relay_b\": -1, " + players +
                ", \"map_name\": \"Ved Oravo vo dizav\", \"routes\": [[100, 200, 300, 400, 500, "
                "600, 700, 800, 900, 100, 100, 100, 100, 100, 100, 100, 100, 100]], \"hits\": []}\n"
                "{\"turn\": 2, \"map\": 3, \"relay_a\": -1, \"relay_b\": -1, " +
                players + ", \"hits\": [{\"from\": 0, \"damage\": 7, \"target\": 2}]}\n");
  ServerProcess server;
  server.start(dir.path(), {"--replay", "old.jsonl", "--http", view_address()}, "", true);
  Browser browser;
  ASSERT_TRUE(open_page(browser, 2)) << browser.error();
  EXPECT_EQ(browser.eval("document.getElementById('mapline').innerText"),
            "Map 3 Ved Oravo vo dizav");
  // Turn 2 names no route: turn 1's still holds.
  EXPECT_EQ(browser.eval("[...document.querySelectorAll('#routes polyline')]"
                         ".map(p => p.points.length).join(' ')"),
            "9");
  EXPECT_EQ(browser.eval("[...document.querySelectorAll('#hits line')]"
                         ".map(l => l.dataset.from + '>' + l.dataset.target).join(' ')"),
            "0>1");
}

// A recording is never overwritten: a match whose file exists takes the next
// free number and says so; time placeholders name a file per start.
TEST(RecordOptions, AnExistingRecordingIsKeptAndTheNextNumberTaken) {
  TempDir dir;
  dir.write("lan1.jsonl", "an older match\n");
  dir.write("lan1-1.jsonl", "another\n");
  const std::vector<std::string> match = {"--humans", "0", "--bots", "0", "--map", "0", "--record"};
  ServerProcess server;
  std::vector<std::string> args = match;
  args.push_back("lan1.jsonl");
  server.start(dir.path(), args, "", true);
  EXPECT_EQ(server.wait_exit(), 0) << server.errors();
  EXPECT_EQ(read_file(dir.path() + "/lan1.jsonl"), "an older match\n");
  EXPECT_EQ(read_file(dir.path() + "/lan1-1.jsonl"), "another\n");
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/lan1-2.jsonl"));
  EXPECT_NE(
      server.errors().find("'lan1.jsonl' exists and is kept; this match goes to 'lan1-2.jsonl'"),
      std::string::npos)
      << server.errors();

  args = match;
  args.push_back("lan1-%Y.jsonl");
  server.start(dir.path(), args, "", true);
  EXPECT_EQ(server.wait_exit(), 0) << server.errors();
  const std::time_t now = std::time(nullptr);
  char year[8];
  std::strftime(year, sizeof year, "%Y", std::gmtime(&now));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/lan1-" + year + ".jsonl")) << server.errors();
}

// A long recording is served in windows bounded in bytes, the server holds
// far less than the recording, and the page plays and seeks it window by
// window, never fetching it whole.
TEST(Replay, ALongRecordingIsPlayedAndSoughtInWindows) {
  TempDir dir;
  const int turns = 200000;
  {
    std::ofstream out(dir.path() + "/long.jsonl", std::ios::binary);
    for (int t = 1; t <= turns; ++t) {
      out << "{\"turn\": " << t << ", \"map\": 1, \"relay_a\": -1, \"relay_b\": -1, \"players\": [";
      for (int p = 0; p < 3; ++p) {
        out << (p ? ", " : "") << "{\"index\": " << p
            << ", \"human\": " << (p < 2 ? "true" : "false") << ", \"x\": " << t % 1000 + p * 100
            << ", \"y\": " << p * 50 << ", \"health\": 100, "
            << "\"heading\": 2700}";
      }
      out << "]"
          << (t == 1 ? ", \"map_name\": \"Vevoder\", \"routes\": [[1, 2, 3, 4, 5, 6, 7, 8, "
                       "9, 9, 8, 7, 6, 5, 4, 3, 2, 1]]"
                     : "")
          << ", \"hits\": []}\n";
    }
    out << "{\"turn\": " << turns + 1 << ", \"map\": 1, \"rel";  // cut short by a kill
  }
  const auto size = std::filesystem::file_size(dir.path() + "/long.jsonl");
  ServerProcess server;
  server.start(dir.path(), {"--replay", "long.jsonl", "--http", view_address()}, "", true);

  const Reply window = get("/turns.jsonl?from=150000&count=100000");
  EXPECT_EQ(window.status, 200);
  EXPECT_LE(window.body.size(), 1024u * 1024u + 200u);
  const std::vector<std::string> lines = lines_of(window.body);
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "{\"from\": 150000, \"total\": 200000, \"map_name\": \"Vevoder\", \"routes\": [[1, 2, 3, "
      "4, 5, 6, 7, 8, 9, 9, 8, 7, 6, 5, 4, 3, 2, 1]]}");
  EXPECT_EQ(lines[1].rfind("{\"turn\": 150001, ", 0), 0u) << lines[1];
  EXPECT_EQ(get("/turns.jsonl?from=200000&count=1").status, 404);  // the line cut short
  EXPECT_EQ(get("/turns.jsonl?from=x").status, 400);
  if (!server_is_windows()) {
    const std::string status = read_file("/proc/" + std::to_string(server.pid()) + "/status");
    std::smatch peak;
    ASSERT_TRUE(std::regex_search(status, peak, std::regex("VmHWM:\\s+([0-9]+) kB"))) << status;
    EXPECT_LT(std::stoull(peak[1]) * 1024, size / 4)
        << "peak memory of a " << size << " byte replay";
  }

  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const std::string turn = "Number(document.getElementById('turn').textContent)";
  EXPECT_EQ(browser.eval_until(turn + " > 30"), "true") << browser.eval(turn);  // it plays
  browser.eval("document.getElementById('play').click()");
  browser.eval(
      "(() => { const s = document.getElementById('slider'); s.value = 150000; "
      "s.dispatchEvent(new Event('input')); })()");
  EXPECT_EQ(browser.eval_until(turn + " == 150001"), "true") << browser.eval(turn);
  EXPECT_EQ(browser.eval("document.getElementById('mapline').innerText"), "Map 1 Vevoder");
  EXPECT_EQ(browser.eval("document.querySelectorAll('#routes polyline').length"), "1");
  const std::string fetched = browser.eval(
      "performance.getEntriesByType('resource').map(r => r.name.replace(/^.*\\//, '') + ' ' + "
      "r.encodedBodySize).join('\\n')");
  EXPECT_EQ(fetched.find("recording.jsonl"), std::string::npos) << fetched;
  uint64_t bytes = 0;
  std::istringstream in(fetched);
  for (std::string name, count; in >> name >> count;) bytes += std::stoull(count);
  EXPECT_LT(bytes, size / 10) << fetched;
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
