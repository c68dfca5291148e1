// What a spectator follows: the scoreboard against the hits the recording
// holds, the end of the match on the view and in the recording (and after
// the server has gone), names, and a map whose frame stays put while the
// players walk.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
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

std::string view_address() {
  return "127.0.0.1:" + std::to_string(view_port());
}

// The body of GET path, "" when there is no answer.
std::string get(const std::string& path) {
  return http_get(view_port(), path).body;
}

// Waits up to 20 s until a server started just now answers on the view's
// port: a page opened before would show the browser's own error instead.
bool view_answers() {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (get("/view.json").empty()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Asks for path until its body holds pattern; the last body.
std::string get_until(const std::string& path, const std::string& pattern) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string body;
  while (!std::regex_search(body = get(path), std::regex(pattern)) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return body;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Hits made, hits taken, damage dealt, damage taken.
using Score = std::array<int64_t, 4>;

// The scoreboard of a /state.json body.
std::vector<Score> scoreboard_of(const std::string& state) {
  std::vector<Score> scores;
  const std::regex row(
      "\\{\"hits_made\": ([0-9]+), \"hits_taken\": ([0-9]+), \"damage_dealt\": (-?[0-9]+), "
      "\"damage_taken\": (-?[0-9]+)\\}");
  for (std::sregex_iterator it(state.begin(), state.end(), row), end; it != end; ++it) {
    scores.push_back(
        {std::stoll((*it)[1]), std::stoll((*it)[2]), std::stoll((*it)[3]), std::stoll((*it)[4])});
  }
  return scores;
}

// The scoreboard counted here from a recording's hits: a hit on a target
// that names no player counts for nobody.
std::vector<Score> scoreboard_of_recording(const std::string& recording, size_t players,
                                           int* hits_recorded) {
  std::vector<Score> scores(players, Score{});
  const std::regex hit("\\{\"from\": ([0-9]+), \"damage\": (-?[0-9]+), \"target\": (-?[0-9]+)\\}");
  *hits_recorded = 0;
  for (std::sregex_iterator it(recording.begin(), recording.end(), hit), end; it != end; ++it) {
    ++*hits_recorded;
    const auto from = std::stoul((*it)[1]);
    const int64_t damage = std::stoll((*it)[2]), target = std::stoll((*it)[3]);
    if (target < 1 || target > static_cast<int64_t>(players)) continue;
    scores[from][0] += 1;
    scores[from][2] += damage;
    scores[static_cast<size_t>(target - 1)][1] += 1;
    scores[static_cast<size_t>(target - 1)][3] += damage;
  }
  return scores;
}

TurnReport at(int32_t x, int32_t y, int32_t damage = -1, int32_t target = 0) {
  TurnReport report;
  report.x = x;
  report.y = y;
  report.damage = damage;
  report.target = target;
  return report;
}

// The kinds of end /state.json carries, as the server words them, and the
// end screen's headline for each, player 0 being named Local.
const struct {
  const char* reason;
  const char* why;
  const char* headline;
} kEnds[] = {
    {"protocol", "player 0 left", "Player 0 (Local) left"},
    {"protocol", "player 0 broke the protocol", "Player 0 (Local) broke the protocol"},
    {"protocol", "player 0 timed out", "Player 0 (Local) timed out"},
    {"stopped", "stopped by the operator's end command (console)",
     "Ended by the operator at the console"},
};

// A match on the real server, and its clients.
struct Match {
  // Keeps the console's input open, for commands.
  bool console = false;
  void start(std::vector<std::string> args, int humans, int bots) {
    humans_ = humans;
    players_ = humans + bots;
    dir_.write("bot.txt",
               "300 300 300 300 300 300 300 300 300\n400 400 400 400 400 400 400 400 400\n");
    dir_.write("dept0.txt", "100 200 300\n100 200 300\n");
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
    for (auto& client : clients_) {
      int32_t index = -1, map = -1;
      client_learn(client->link, &index, &map);
    }
  }
  void play(const std::vector<TurnReport>& reports) {
    TurnView view;
    for (size_t q = 0; q < reports.size(); ++q) {
      ASSERT_TRUE(client_turn(clients_[q]->link, reports[q], players_, view));
    }
  }
  // Waits until the recording holds `lines` lines; its text.
  std::string recording(size_t lines) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string text;
    while (lines_of(text = read_file(dir_.path() + "/m.jsonl")).size() < lines &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
  }

  TempDir dir_;
  ServerProcess server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
  int humans_ = 0, players_ = 0;
};

// Per turn, per human: damage and target; damage -1 is no hit.
const int32_t kHits[][3][2] = {
    {{-1, 0}, {-1, 0}, {-1, 0}}, {{10, 2}, {7, 1}, {-1, 0}},  // 0 and 1 hit each other
    {{5, 4}, {6, 4}, {-3, 4}},                                // three on the bot, one of them heals
    {{9, 9}, {-1, 0}, {4, 3}},    // target 9 names no player; 2 hits itself
    {{20, 2}, {20, 2}, {-1, 0}},  // two on player 1
};

void play_hits(Match& match) {
  for (const auto& turn : kHits) {
    std::vector<TurnReport> reports;
    for (int32_t q = 0; q < 3; ++q) {
      reports.push_back(at(100 + q * 100, 100 + q * 100, turn[q][0], turn[q][1]));
    }
    match.play(reports);
  }
}

TEST(Spectators, TheScoreboardCountsTheHitsOfTheRecordingAndTheEndClosesIt) {
  Match match;
  match.start({"--http", view_address(), "--record", "m.jsonl", "--view-linger", "3"}, 3, 1);
  match.join_all();
  play_hits(match);
  const std::string recording = match.recording(5);
  const std::string state = get_until("/state.json", "\"turn\": 5,");
  int hits_recorded = 0;
  const std::vector<Score> want = scoreboard_of_recording(recording, 4, &hits_recorded);
  EXPECT_EQ(hits_recorded, 9);  // the recording has every hit, the one on no player too
  EXPECT_EQ(scoreboard_of(state), want) << state;
  // What the recording implies, written out: player 1 took 10 + 20 + 20.
  EXPECT_EQ(want[1], (Score{3, 3, 33, 50}));
  EXPECT_EQ(want[3], (Score{0, 3, 0, 8}));
  // Health is the tables': player 1 is at 100 - 50 = 50.
  EXPECT_NE(state.find("\"index\": 1, \"human\": true, \"x\": 200, \"y\": 200, \"health\": 50"),
            std::string::npos)
      << state;

  // Player 0's client goes: the match ends, the view shows why and stays up.
  match.clients_[0]->close();
  const std::string ended = get_until("/state.json", "\"end\": \\{");
  std::smatch end;
  ASSERT_TRUE(std::regex_search(ended, end, std::regex("\"end\": (\\{.*\\})\\}$"))) << ended;
  EXPECT_TRUE(std::regex_search(
      ended, std::regex("\"end\": \\{\"reason\": \"protocol\", \"why\": \"player 0 left\", "
                        "\"turns\": 5, \"seconds\": [0-9]+\\.[0-9], \"standings\": "
                        "\\[\\{\"index\": 2, \"health\": 96, \"hits_made\": 2, \"hits_taken\": "
                        "1, \"damage_dealt\": 1, \"damage_taken\": 4\\}, \\{\"index\": 0, "
                        "\"health\": 93, .*\\{\"index\": 1, \"health\": 50, [^{]*\\}\\]\\}")))
      << ended;
  EXPECT_EQ(match.server_.wait_exit(), 1);
  // The recording ends with the very end the view showed.
  const std::vector<std::string> lines = lines_of(read_file(match.dir_.path() + "/m.jsonl"));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], "{\"end\": " + end[1].str() + "}");
}

// However the match ends, the view shows its end for --view-linger.
TEST(Spectators, TheViewOutlivesEveryKindOfEnd) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::function<void(Match&)> end;
    size_t kind;  // in kEnds
    int exit_code;
  } cases[] = {
      {"a client leaves", {}, [](Match& match) { match.clients_[0]->close(); }, 0, 1},
      {"a client breaks the protocol",
       {},
       [](Match& match) {
         TurnReport broken = at(100, 100);
         broken.relay_a_reply = 146;
         TurnView view;
         client_turn(match.clients_[0]->link, broken, match.players_, view);
       },
       1,
       1},
      // The client stays connected and says nothing.
      {"a client times out", {"--client-timeout", "1"}, [](Match&) {}, 2, 1},
      {"the operator ends it",
       {"--console-commands"},
       [](Match& match) { match.server_.write_input("end\n"); },
       3,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Match match;
    match.console = true;
    std::vector<std::string> args = {"--http", view_address(), "--view-linger", "2"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    match.start(args, 1, 1);
    match.join_all();
    match.play({at(100, 100)});
    c.end(match);
    ASSERT_TRUE(match.server_.wait_for_log("the live view shows the end for 2 s"))
        << match.server_.errors();
    // Asked after the end, the view still answers, with the end.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const HttpReply state = http_get(view_port(), "/state.json");
    EXPECT_EQ(state.status, 200);
    EXPECT_NE(state.body.find(std::string("\"end\": {\"reason\": \"") + kEnds[c.kind].reason +
                              "\", \"why\": \"" + kEnds[c.kind].why + "\""),
              std::string::npos)
        << state.body;
    match.server_.close_input();
    EXPECT_EQ(match.server_.wait_exit(), c.exit_code);
  }
}

// Whether every label lies on the map (none under the side panel) and
// none touches another.
const char* const kLabelsApart =
    "(() => { const s = document.getElementById('svg').getBoundingClientRect();"
    " const b = [...document.querySelectorAll('#players .label')].map(l => "
    "l.getBoundingClientRect());"
    " return b.every(r => r.left >= s.left && r.right <= s.right && r.top >= s.top && "
    "r.bottom <= s.bottom) && b.every((r, i) => b.every((o, j) => j <= i || r.right <= o.left "
    "|| o.right <= r.left || r.bottom <= o.top || o.bottom <= r.top)); })()";

// Where the page put each player's mark on the map, "x,y x,y ...".
const char* const kMarks =
    "[...document.querySelectorAll('#players g.player')].map(g => "
    "g.getAttribute('transform').replace(/translate\\(([-0-9.]+),([-0-9.]+)\\)/, '$1,$2'))"
    ".join(' ')";

std::vector<std::pair<double, double>> marks_of(const std::string& text) {
  std::vector<std::pair<double, double>> marks;
  std::istringstream in(text);
  for (std::string one; in >> one;) {
    const size_t comma = one.find(',');
    marks.emplace_back(std::stod(one.substr(0, comma)), std::stod(one.substr(comma + 1)));
  }
  return marks;
}

TEST(Spectators, TheFrameStaysPutWhileAPlayerWalksAndGrowsWhenItLeaves) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Match match;
  match.start({"--http", view_address()}, 2, 1);
  match.join_all();
  match.play({at(100, 100), at(200, 200)});
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const std::string turn = "document.getElementById('turn').textContent == ";
  ASSERT_EQ(browser.eval_until(turn + "'1'"), "true");
  std::vector<std::vector<std::pair<double, double>>> seen;
  // Player 1 walks down by 10 a turn, within the start's frame.
  for (int32_t t = 2; t <= 8; ++t) {
    match.play({at(100, 100), at(200, 200 + 10 * t)});
    ASSERT_EQ(browser.eval_until(turn + "'" + std::to_string(t) + "'"), "true");
    seen.push_back(marks_of(browser.eval(kMarks)));
    ASSERT_EQ(seen.back().size(), 3u);
  }
  for (size_t k = 1; k < seen.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(seen[k][0], seen[0][0]);  // player 0 stands still, and so does its mark
    EXPECT_EQ(seen[k][2], seen[0][2]);  // the bot too
    EXPECT_GT(seen[k][1].second, seen[k - 1][1].second);  // player 1 is seen walking down
    EXPECT_EQ(seen[k][1].first, seen[0][1].first);
  }
  // Far off the map: the frame grows until every mark is on the screen again.
  match.play({at(100, 100), at(200, 3000)});
  const std::string inside =
      "[...document.querySelectorAll('#players g.player .mark')].every(m => { const b = "
      "m.getBoundingClientRect(), s = document.getElementById('svg').getBoundingClientRect(); "
      "return b.left >= s.left && b.right <= s.right && b.top >= s.top && b.bottom <= s.bottom; "
      "})";
  ASSERT_EQ(browser.eval_until(turn + "'9'"), "true");
  EXPECT_EQ(browser.eval_until(inside), "true") << browser.eval(kMarks);
  EXPECT_EQ(browser.eval_until("JSON.stringify(frame.shown) == JSON.stringify(frame.target)"),
            "true");
  // It never shrinks back: player 1 returns, player 0's mark stays where the grown frame put it.
  const auto grown = marks_of(browser.eval(kMarks));
  match.play({at(100, 100), at(200, 220)});
  ASSERT_EQ(browser.eval_until(turn + "'10'"), "true");
  EXPECT_EQ(marks_of(browser.eval(kMarks))[0], grown[0]);
  std::filesystem::create_directories("artifacts");
  EXPECT_TRUE(browser.screenshot("artifacts/steady-frame.png"));
}

TEST(Spectators, EveryLabelStaysOnTheMapAndApartFromTheOthers) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Match match;
  match.start({"--http", view_address(), "--names", "Ann,Bob"}, 2, 0);
  match.join_all();
  match.play({at(100, 100), at(200, 200)});
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  const struct {
    const char* name;
    TurnReport zero, one;
  } cases[] = {
      // Bob at the frame's right edge, the players spread wide: his label is
      // wider than the margin there.
      {"at the edge", at(100, 100), at(900, 110)},
      {"side by side", at(150, 150), at(156, 150)},
      {"one above the other", at(150, 150), at(150, 153)},
  };
  int turn = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    match.play({c.zero, c.one});
    ++turn;
    ASSERT_EQ(browser.eval_until("document.getElementById('turn').textContent == '" +
                                 std::to_string(turn) + "' && !easing"),
              "true");
    EXPECT_EQ(browser.eval(kLabelsApart), "true") << browser.eval(
        "[...document.querySelectorAll('#players .label')].map(l => "
        "JSON.stringify(l.getBoundingClientRect())).join(' ')");
  }
}

TEST(Spectators, TheEndScreenStaysAfterTheServerHasGoneAndTheReplayShowsIt) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  Match match;
  match.start({"--http", view_address(), "--record", "m.jsonl", "--view-linger", "2", "--names",
               "Ann,Bob", "--address-names", "127.0.0.1=Local"},
              3, 1);
  match.join_all();
  play_hits(match);
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  ASSERT_EQ(browser.eval_until("document.getElementById('turn').textContent == '5'"), "true");
  // Names: by address first (every client is on loopback), the bot by index... none given.
  const std::string labels =
      "[...document.querySelectorAll('#players .label')].map(l => l.textContent).join('|')";
  EXPECT_EQ(browser.eval(labels), "0 Local|1 Local|2 Local|3");
  // Every label on the map, none under the side panel, none on another:
  // player 2 stands at the frame's right edge, its label wider than the
  // margin there.
  EXPECT_EQ(browser.eval(kLabelsApart), "true");
  // The picture docs/watching.md shows: this page, scoreboard and clock as
  // they are. ZOLT_DOC_PICTURES=1 writes it into docs/ too.
  std::filesystem::create_directories("artifacts");
  EXPECT_TRUE(browser.screenshot("artifacts/watching-page.png"));
  if (const char* write = std::getenv("ZOLT_DOC_PICTURES"); write != nullptr && *write == '1') {
    EXPECT_TRUE(browser.screenshot(std::string(ZOLT_SOURCE_DIR) + "/docs/watching-page.png"));
  }
  // The scoreboard beside the map, as the recording counts it.
  const std::string row =
      "[...document.querySelectorAll('#scorerows tr[data-player=\"1\"] td')].slice(1, 6)"
      ".map(c => c.textContent).join(' ')";
  EXPECT_EQ(browser.eval(row), "50 3 3 33 50");
  // Turn 5: players 0 and 1 both hit player 1, whose ring is theirs, an arc each.
  EXPECT_EQ(
      browser.eval("[...document.querySelectorAll('#hits .hit-ring.shared[data-target=\"1\"]')]"
                   ".map(c => "
                   "c.dataset.from + ':' + c.getAttribute('stroke-dasharray')).sort().join(' ')"),
      "0:62.83 62.83 1:62.83 62.83");
  match.clients_.clear();
  EXPECT_EQ(match.server_.wait_exit(), 1);
  const std::string end = "document.getElementById('end')";
  EXPECT_EQ(browser.eval_until(end + ".style.display == 'block' && "
                                     "document.getElementById('error').textContent == 'the "
                                     "server has ended'"),
            "true");
  const std::string shown = browser.eval(end + ".innerText");
  // What ended it, with the player's name; under a minute in tenths.
  EXPECT_NE(shown.find(kEnds[0].headline), std::string::npos) << shown;
  // The headline of every other kind of end the view carries.
  for (const auto& kind : kEnds) {
    EXPECT_EQ(browser.eval(std::string("end_words({reason: '") + kind.reason + "', why: \"" +
                           kind.why + "\"})"),
              kind.headline);
  }
  EXPECT_TRUE(std::regex_search(shown, std::regex("5 turns in [0-9]+\\.[0-9] s"))) << shown;
  // The standings by health: 96, 93, 92 (the bot) and 50.
  const std::string standings =
      "[...document.querySelectorAll('#standings tr')].map(r => r.dataset.player).join(' ')";
  EXPECT_EQ(browser.eval(standings), "2 0 3 1");
  std::filesystem::create_directories("artifacts");
  EXPECT_TRUE(browser.screenshot("artifacts/end-screen.png"));

  // The replay of the recording ends on the same screen.
  ServerProcess replay;
  replay.start(match.dir_.path(), {"--replay", "m.jsonl", "--http", view_address()}, "", true);
  ASSERT_TRUE(view_answers()) << replay.errors();
  Browser again;
  ASSERT_TRUE(again.open("http://" + view_address() + "/")) << again.error();
  ASSERT_EQ(again.eval_until("document.getElementById('slider').max == '4'"), "true");
  again.eval(
      "(() => { document.getElementById('play').click(); const s = "
      "document.getElementById('slider'); s.value = 4; s.dispatchEvent(new Event('input')); })()");
  EXPECT_EQ(again.eval_until(end + ".style.display == 'block'"), "true");
  EXPECT_EQ(again.eval(standings), "2 0 3 1");
  EXPECT_EQ(again.eval(row), "50 3 3 33 50");
  EXPECT_EQ(again.eval(labels), "0 Local|1 Local|2 Local|3");
  // Sought back, the end screen goes and the scoreboard counts the turns so far.
  again.eval(
      "(() => { const s = document.getElementById('slider'); s.value = 1; "
      "s.dispatchEvent(new Event('input')); })()");
  EXPECT_EQ(again.eval_until(end + ".style.display == 'none'"), "true");
  EXPECT_EQ(again.eval(row), "90 1 1 7 10");
  EXPECT_TRUE(again.screenshot("artifacts/replay-turn-2.png"));
}

// A recording may come from anywhere: its values are drawn as text, never as markup.
TEST(Spectators, ARecordingsTextNeverBecomesMarkupInTheReplay) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  TempDir dir;
  dir.write("crafted.jsonl",
            "{\"turn\": 1, \"map\": 0, \"relay_a\": -1, \"relay_b\": -1, \"players\": "
            "[{\"index\": 0, \"human\": true, \"x\": \"<img id=injected1 src=x>\", \"y\": 5, "
            "\"health\": \"<b id=injected2>\", \"heading\": 0}], \"names\": [\"<i "
            "id=injected3>\"], \"hits\": [{\"from\": 0, \"damage\": \"<u id=injected4>\", "
            "\"target\": 1}]}\n"
            "{\"end\": {\"reason\": \"<s id=injected5>\", \"why\": \"<s id=injected6>\", "
            "\"turns\": 1, \"seconds\": 0.0, \"standings\": [{\"index\": 0, \"health\": \"<s "
            "id=injected7>\", \"hits_made\": 0, \"hits_taken\": 0, \"damage_dealt\": 0, "
            "\"damage_taken\": 0}]}}\n");
  ServerProcess replay;
  replay.start(dir.path(), {"--replay", "crafted.jsonl", "--http", view_address()}, "", true);
  ASSERT_TRUE(view_answers()) << replay.errors();
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  ASSERT_EQ(browser.eval_until("document.getElementById('end').style.display == 'block'"), "true");
  EXPECT_EQ(browser.eval("document.querySelectorAll('[id^=injected]').length"), "0");
  EXPECT_EQ(browser.eval("document.querySelector('#scorerows .who').textContent"),
            "0 <i id=injected3>");
}

// The page's first update already gives the rates: the match's mean, from
// its turns, messages and elapsed time; later ones the recent rate.
TEST(Spectators, TurnsPerSecondShowFromTheFirstUpdate) {
  if (!Browser::available()) GTEST_SKIP() << "chromium is not installed";
  TempDir dir;
  dir.write("one.jsonl",
            "{\"turn\": 1, \"map\": 0, \"relay_a\": -1, \"relay_b\": -1, \"players\": [], "
            "\"hits\": []}\n");
  ServerProcess replay;
  replay.start(dir.path(), {"--replay", "one.jsonl", "--http", view_address()}, "", true);
  ASSERT_TRUE(view_answers()) << replay.errors();
  Browser browser;
  ASSERT_TRUE(browser.open("http://" + view_address() + "/")) << browser.error();
  ASSERT_EQ(browser.eval_until("document.getElementById('turn').textContent == '1'"), "true");
  // The replay draws no rates of its own once shown: the live view's
  // function is fed its polls here.
  const std::string rates =
      "[document.getElementById('tps').textContent, "
      "document.getElementById('mps').textContent].join(' ')";
  EXPECT_EQ(browser.eval("(() => { history.length = 0; rates(5000, 30, 600, 10); return " + rates +
                         "; })()"),
            "3.0 60");
  EXPECT_EQ(browser.eval("(() => { rates(5500, 40, 700, 10.5); return " + rates + "; })()"),
            "20.0 200");
}

TEST(Spectators, AStoppedMatchShowsItsEndAndASecondStopEndsTheWait) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass signals on";
  const struct {
    int first, second;
    const char* why;
  } cases[] = {
      {SIGTERM, SIGINT, "SIGTERM"},
      {SIGTERM, SIGTERM, "SIGTERM"},  // the same signal again, as a second Ctrl-C
      {SIGINT, SIGINT, "SIGINT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why + std::string(" then ") + std::to_string(c.second));
    Match match;
    match.start({"--http", view_address(), "--record", "m.jsonl", "--view-linger", "600"}, 1, 0);
    match.join_all();
    match.play({at(1, 1)});
    match.play({at(2, 2)});
    match.recording(2);
    match.server_.send_signal(c.first);
    EXPECT_NE(get_until("/state.json", "\"end\": ")
                  .find("\"end\": {\"reason\": \"stopped\", \"why\": \"stopped by " +
                        std::string(c.why) + "\", \"turns\": 2, "),
              std::string::npos);
    EXPECT_TRUE(match.server_.running());  // the view stays up
    match.server_.send_signal(c.second);
    EXPECT_EQ(match.server_.wait_exit(), 0);
    const std::string output = match.server_.output();
    EXPECT_EQ(output.substr(output.size() - std::string(END_BANNER).size()), END_BANNER);
    const std::vector<std::string> lines = lines_of(read_file(match.dir_.path() + "/m.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("{\"end\": {\"reason\": \"stopped\", ", 0), 0u) << lines[2];
  }
}

}  // namespace
