#include "record/replay.h"

#include <gtest/gtest.h>

#include "bots/route.h"
#include "record/recording.h"
#include "record/resume.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A recording in a file of its own, removed at the end.
struct RecordingFile {
  explicit RecordingFile(const std::string& text) {
    path = testing::TempDir() + "replay_test_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl";
    std::ofstream(path, std::ios::binary) << text;
  }
  ~RecordingFile() { std::remove(path.c_str()); }
  std::string path;
};

// Line k of a two-player match (turn k + 1) with these hits.
std::string turn_line(int k, const std::string& hits, const std::string& extra = "") {
  return "{\"turn\": " + std::to_string(k + 1) +
         ", \"map\": 0, \"relay_a\": -1, \"relay_b\": -1, \"players\": [{\"index\": 0, "
         "\"human\": true, \"x\": 1, \"y\": 2, \"health\": 100, \"heading\": 0}, {\"index\": 1, "
         "\"human\": false, \"x\": 3, \"y\": 4, \"health\": " +
         std::to_string(100 - k) + ", \"heading\": 0}]" + extra + ", \"hits\": [" + hits + "]}\n";
}

const std::string kEnd =
    "{\"reason\": \"protocol\", \"why\": \"player 0 left\", \"turns\": 3, \"seconds\": 1.0, "
    "\"standings\": []}";

TEST(Replay, TheEndRecordIsNoTurnAndARecordingWithoutOneReplaysAsBefore) {
  const std::string turns = turn_line(0, "") + turn_line(1, "") + turn_line(2, "");
  const struct {
    const char* name;
    std::string text;
    uint64_t turns;
    std::string end;
  } cases[] = {
      {"with its end", turns + "{\"end\": " + kEnd + "}\n", 3, kEnd},
      {"without", turns, 3, ""},
      {"the end cut short by a kill", turns + "{\"end\": {\"reason\": \"pro", 3, ""},
      {"an end record alone", "{\"end\": " + kEnd + "}\n", 0, kEnd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingFile file(c.text);
    Replay replay;
    std::string err, window;
    ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
    EXPECT_EQ(replay.turns, c.turns);
    EXPECT_EQ(replay.end, c.end);
    EXPECT_EQ(replay_window(replay, c.turns, 10, 1 << 20, &window), false);  // no such turn
    if (c.turns == 0) continue;
    ASSERT_TRUE(replay_window(replay, 0, 10, 1 << 20, &window));
    EXPECT_EQ(std::count(window.begin(), window.end(), '\n'), 1 + static_cast<int>(c.turns));
    EXPECT_NE(window.find(", \"end\": " + (c.end.empty() ? "null" : c.end) + "}\n"),
              std::string::npos)
        << window;
  }
}

// The scoreboard a window's header gives counts the lines before it, however
// the windows are asked for.
TEST(Replay, AWindowsScoresCountTheHitsBeforeIt) {
  std::string text;
  for (int k = 0; k < 200; ++k) {
    // Player 0 hits player 1 for k in line k when k is odd; a hit on no player each tenth line.
    std::string hits =
        k % 2 == 1 ? "{\"from\": 0, \"damage\": " + std::to_string(k) + ", \"target\": 2}" : "";
    if (k % 10 == 0) hits = "{\"from\": 1, \"damage\": 5, \"target\": 7}";
    text += turn_line(k, hits, k == 150 ? ", \"names\": [\"Ann\", null]" : "");
  }
  RecordingFile file(text);
  Replay replay;
  std::string err;
  ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
  const auto expected = [](int from) {
    int64_t hits = 0, damage = 0;
    for (int k = 1; k < from; k += 2) ++hits, damage += k;
    return "[[" + std::to_string(hits) + ", 0, " + std::to_string(damage) + ", 0], [0, " +
           std::to_string(hits) + ", 0, " + std::to_string(damage) + "]]";
  };
  for (const int from : {0, 1, 2, 64, 63, 199, 100, 151, 150, 3}) {
    SCOPED_TRACE(from);
    std::string window;
    ASSERT_TRUE(replay_window(replay, static_cast<uint64_t>(from), 1, 1 << 20, &window));
    EXPECT_NE(window.find("\"scores\": " + expected(from) + ", "), std::string::npos)
        << window.substr(0, window.find('\n'));
    EXPECT_NE(window.find(from > 150 ? "\"names\": [\"Ann\", null]" : "\"names\": null"),
              std::string::npos)
        << window.substr(0, window.find('\n'));
  }
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// 2000 turns, line k turn k + 1, with what is wrong with line `damaged`
// (from 0) put in its place.
std::string turns_with(int turns, int damaged, const std::string& instead) {
  std::string text;
  for (int k = 0; k < turns; ++k) text += k == damaged ? instead : turn_line(k, "");
  return text;
}

std::string damaged(int line_from_1, const std::string& why) {
  return "{\"damaged\": {\"line\": " + std::to_string(line_from_1) + ", \"why\": \"" + why + "\"}}";
}

// A damaged line is one turn in its place: every window gives each other
// turn where it is, whatever the damage, and the total stays.
TEST(Replay, ADamagedLineIsOneTurnAndItsNeighboursKeepTheirPlaces) {
  const std::string nul(1, '\0');
  std::string with_nul_1991 = turn_line(1990, "");
  with_nul_1991[40] = '\0';
  std::string with_nul_101 = turn_line(100, "");
  with_nul_101[60] = '\0';
  const std::string fifty_mb = "{\"turn\": 5, " + std::string(50 * 1024 * 1024, ' ') + "}\n";
  const struct {
    const char* name;
    std::string text;
    uint64_t total;
    int damaged_index;  // its turn, -1: none
    std::string served;
    uint64_t from, count;
    size_t lines;  // of the window, without its header
  } cases[] = {
      {"a NUL in line 1991: the window before it", turns_with(2000, 1990, with_nul_1991), 2000,
       1990, damaged(1991, "holds a NUL byte"), 1792, 256, 208},
      {"a NUL in line 1991: the last turn", turns_with(2000, 1990, with_nul_1991), 2000, 1990,
       damaged(1991, "holds a NUL byte"), 1999, 1, 1},
      {"a NUL in line 1991: the whole of it", turns_with(2000, 1990, with_nul_1991), 2000, 1990,
       damaged(1991, "holds a NUL byte"), 0, 4096, 2000},
      {"a NUL in line 101", turns_with(2000, 100, with_nul_101), 2000, 100,
       damaged(101, "holds a NUL byte"), 99, 3, 3},
      {"a NUL-filled block ends it", turns_with(200, -1, "") + std::string(8192, '\0'), 200, -1, "",
       150, 100, 50},
      {"a NUL-filled block then a line feed", turns_with(200, 199, std::string(512, '\0') + "\n"),
       200, 199, damaged(200, "holds a NUL byte"), 190, 100, 10},
      {"a 50 MB line", turns_with(10, 4, fifty_mb), 10, 4,
       damaged(5, "is longer than 1048576 bytes"), 0, 10, 10},
      {"a 50 MB line first in its window", turns_with(10, 4, fifty_mb), 10, 4,
       damaged(5, "is longer than 1048576 bytes"), 4, 1, 1},
      {"a line of CR LF",
       turns_with(10, 3, turn_line(3, "").insert(turn_line(3, "").size() - 1, "\r")), 10, -1, "", 0,
       10, 10},
      {"the count 0: the header alone", turns_with(10, 3, "x\n"), 10, 3, "", 5, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingFile file(c.text);
    Replay replay;
    std::string err, window;
    ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
    EXPECT_EQ(replay.turns, c.total);
    EXPECT_EQ(replay.damaged, c.damaged_index < 0 ? 0u : 1u);
    ASSERT_TRUE(replay_window(replay, c.from, c.count, 1 << 20, &window));
    EXPECT_LE(replay.reader.capacity, REPLAY_MAX_LINE);
    const std::vector<std::string> lines = lines_of(window);
    ASSERT_EQ(lines.size(), c.lines + 1) << lines[0];
    EXPECT_EQ(lines[0].rfind("{\"from\": " + std::to_string(c.from) +
                                 ", \"total\": " + std::to_string(c.total) + ", ",
                             0),
              0u)
        << lines[0];
    for (size_t i = 1; i < lines.size(); ++i) {
      const int k = static_cast<int>(c.from + i - 1);
      const std::string turn = turn_line(k, "");
      EXPECT_EQ(lines[i], k == c.damaged_index ? c.served : turn.substr(0, turn.size() - 1))
          << "turn " << k;
    }
  }
}

// Lines that are no turn: the restart marks a match that went on leaves, and
// the end record. Windows count the turns as if they were not there.
TEST(Replay, RestartMarksAndTheEndRecordAreNoTurns) {
  const std::string mark_3 =
                        "{\"restart\": {\"after_turn\": 3, \"at\": \"2026-12-08T12:00:00Z\"}}\n",
                    mark_70 =
                        "{\"restart\": {\"after_turn\": 70, \"at\": \"2026-12-08T13:30:05Z\"}}\n";
  std::string text;
  for (int k = 0; k < 100; ++k) {
    if (k == 3) text += mark_3 + "{\"end\": " + kEnd + "}\n";  // stopped, then went on
    if (k == 70) text += mark_70 + "{\"restart\": {\"after_turn\": \"x\"}}\n";  // one ill-written
    text += turn_line(k, k == 80 ? "{\"from\": 0, \"damage\": 9, \"target\": 2}" : "");
  }
  text += "{\"end\": " + kEnd + "}\n";
  RecordingFile file(text);
  Replay replay;
  std::string err;
  ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
  EXPECT_EQ(replay.turns, 100u);
  EXPECT_EQ(replay.damaged, 0u);
  EXPECT_EQ(replay.end, kEnd);
  for (const uint64_t from : {0u, 2u, 3u, 4u, 63u, 64u, 69u, 70u, 71u, 99u}) {
    SCOPED_TRACE(from);
    std::string window;
    ASSERT_TRUE(replay_window(replay, from, 4096, 1 << 20, &window));
    const std::vector<std::string> lines = lines_of(window);
    ASSERT_EQ(lines.size(), 1 + 100 - from);
    EXPECT_NE(
        lines[0].find(", \"restarts\": [{\"after_turn\": 3, \"at\": \"2026-12-08T12:00:00Z\"}, "
                      "{\"after_turn\": 70, \"at\": \"2026-12-08T13:30:05Z\"}], \"end\": " +
                      kEnd + "}"),
        std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(from > 80 ? "\"scores\": [[1, 0, 9, 0], [0, 1, 0, 9]]"
                                      : "\"scores\": [[0, 0, 0, 0], [0, 0, 0, 0]]"),
              std::string::npos)
        << lines[0];
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string turn =
          turn_line(static_cast<int>(from + i - 1),
                    from + i - 1 == 80 ? "{\"from\": 0, \"damage\": 9, \"target\": 2}" : "");
      ASSERT_EQ(lines[i], turn.substr(0, turn.size() - 1));
    }
  }
  // However many restarts, the header keeps the first 1000.
  std::string restarted;
  for (int r = 0; r < 1005; ++r) {
    restarted += turn_line(r, "") + "{\"restart\": {\"after_turn\": " + std::to_string(r + 1) +
                 ", \"at\": \"2026-12-08T12:00:00Z\"}}\n";
  }
  RecordingFile many(restarted);
  ASSERT_TRUE(replay_load(many.path, replay, &err)) << err;
  EXPECT_EQ(replay.turns, 1005u);
  std::string window;
  ASSERT_TRUE(replay_window(replay, 1004, 1, 1 << 20, &window));
  size_t kept = 0;
  for (size_t at = window.find("after_turn"); at != std::string::npos;
       at = window.find("after_turn", at + 1)) {
    ++kept;
  }
  EXPECT_EQ(kept, REPLAY_RESTARTS_KEPT);
  EXPECT_NE(
      window.find("{\"after_turn\": 1000, \"at\": \"2026-12-08T12:00:00Z\"}], \"end\": null}\n"),
      std::string::npos)
      << window.substr(window.size() - 300);
  // A match that went on after its end record and was then killed has no end.
  RecordingFile went_on("{\"end\": " + kEnd + "}\n" + mark_3 + turn_line(3, ""));
  ASSERT_TRUE(replay_load(went_on.path, replay, &err)) << err;
  EXPECT_EQ(replay.turns, 1u);
  EXPECT_EQ(replay.end, "");
}

// The state the recording saves for a resume is its last member: nothing in
// it is taken for the players, the routes, the names or the hits.
TEST(Replay, TheSavedStateOfATurnIsIgnored) {
  const std::string save =
      ", \"save\": {\"v\": 1, \"humans\": 1, \"bots\": 1, \"map\": 0, \"turn_count\": 5, "
      "\"route_length\": 9, \"bots_state\": [[1, 2, 3], [-4, 5]], \"peers\": [\"127.0.0.1\"]}";
  std::string text;
  for (int k = 0; k < 3; ++k) {
    std::string line = turn_line(k, "{\"from\": 1, \"damage\": 4, \"target\": 1}",
                                 k == 0 ? ", \"routes\": [[1, 2], [3, 4]]" : "");
    text += line.insert(line.size() - 2, save);
  }
  RecordingFile file(text);
  Replay replay;
  std::string err, window;
  ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
  EXPECT_EQ(replay.players, 2u);
  ASSERT_TRUE(replay_window(replay, 2, 1, 1 << 20, &window));
  EXPECT_NE(window.find("\"routes\": [[1, 2], [3, 4]], \"names\": null, \"scores\": [[0, 2, 0, 8], "
                        "[2, 0, 8, 0]], "),
            std::string::npos)
      << window;
  ASSERT_TRUE(replay_health_chart(replay, &window));
  EXPECT_EQ(window, "{\"every\": 1, \"health\": [[100, 100, 100], [100, 99, 98]]}");
}

// A damaged turn in the chart: the next whole turn stands in for it, so that
// every series keeps one sample per turn.
TEST(Replay, TheHealthChartKeepsItsPlacesPastADamagedTurn) {
  std::string text = turns_with(5, 1, std::string("{\"turn\": ") + '\0' + "}\n");
  text += std::string(3, '\0');  // and a NUL-filled block, cut
  RecordingFile with_block(text);
  Replay replay;
  std::string err, chart;
  ASSERT_TRUE(replay_load(with_block.path, replay, &err)) << err;
  ASSERT_TRUE(replay_health_chart(replay, &chart));
  EXPECT_EQ(chart,
            "{\"every\": 1, \"health\": [[100, 100, 100, 100, 100], [100, 98, 98, 97, 96]]}");
}

// A recording as the server writes it (each turn with its save last, a
// restart mark where the match went on) replays turn for turn.
TEST(Replay, AResumedRecordingAsWrittenReplaysTurnForTurn) {
  const std::string path = testing::TempDir() + "replay_test_resumed.jsonl";
  std::remove(path.c_str());
  Recording recording;
  std::string err;
  ASSERT_TRUE(recording_open(recording, path, 2, 2, {}, &err)) << err;
  recording_seat_peer(recording, 0, "10.0.0.7:4321");
  Match match;
  match.human_count = 2;
  match.bot_count = 2;
  create_route_tables(match);
  for (size_t b = 0; b < 2; ++b) {
    for (size_t k = 0; k < 9; ++k) {
      match.route_x[b][k] = static_cast<int32_t>(300 + 10 * k + b);
      match.route_y[b][k] = static_cast<int32_t>(200 + 5 * k);
    }
  }
  set_up_tables(match);
  for (uint64_t turn = 1; turn <= 5; ++turn) {
    if (turn == 4) recording_write_restart(recording, 3, 1796700014);  // 2026-12-08T03:20:14Z
    for (int32_t b = 0; b < match.bot_count; ++b) bot_step(match, b);
    recording_add_hit(recording, Hit{0, static_cast<int32_t>(turn), 3});
    recording_write_turn(recording, turn, match);
  }
  recording_suspend(recording);
  Replay replay;
  std::string window;
  ASSERT_TRUE(replay_load(path, replay, &err)) << err;
  EXPECT_EQ(replay.turns, 5u);
  EXPECT_EQ(replay.damaged, 0u);
  EXPECT_EQ(replay.players, 4u);
  ASSERT_TRUE(replay_window(replay, 3, 10, 1 << 20, &window));
  const std::vector<std::string> lines = lines_of(window);
  ASSERT_EQ(lines.size(), 3u) << window;
  // Player 0 hit player 2 for 1, 2 and 3 in the turns before.
  EXPECT_NE(lines[0].find("\"routes\": [[300, 310, 320, 330, 340, 350, 360, 370, 380, 200, 205, "),
            std::string::npos)
      << lines[0];
  EXPECT_NE(
      lines[0].find("\"scores\": [[3, 0, 6, 0], [0, 0, 0, 0], [0, 3, 0, 6], [0, 0, 0, 0]], "
                    "\"restarts\": [{\"after_turn\": 3, \"at\": \"2026-12-08T03:20:14Z\"}], "),
      std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[1].rfind("{\"turn\": 4, ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("{\"turn\": 5, ", 0), 0u) << lines[2];
  std::remove(path.c_str());
}

TEST(Replay, TheHealthChartSamplesTheWholeRecording) {
  std::string text;
  for (int k = 0; k < 1200; ++k) text += turn_line(k, "");
  RecordingFile file(text);
  Replay replay;
  std::string err, chart;
  ASSERT_TRUE(replay_load(file.path, replay, &err)) << err;
  ASSERT_TRUE(replay_health_chart(replay, &chart));
  // 1200 lines, at most 500 samples: every third line, 400 samples each.
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(chart, m,
                        std::regex("^\\{\"every\": 3, \"health\": \\[\\[(100, ){399}100\\], "
                                   "\\[100, 97, 94, [-0-9, ]*\\]\\]\\}$")))
      << chart.substr(0, 200);
  EXPECT_NE(chart.find(", " + std::to_string(100 - 1197) + "]]}"), std::string::npos);
}

}  // namespace

// Windows read with cursors of their own, from the scoreboards kept at
// start, in any order: each header is what counting every turn before it
// gives, past a damaged line, a line too long to hold and a restart mark,
// and each window's turns are those the replay's own reader serves.
TEST(Replay, AWindowFromTheIndexIsAWindowCountedFromTheStart) {
  const int turns = 1500, nul = 300, too_long = 1000;
  std::string text;
  const auto names = [](int k) {
    return k < 100 ? "" : k < 650 ? "\"Ann\", null" : "\"Ann\", \"Bob\"";
  };
  for (int k = 0; k < turns; ++k) {
    std::string hits = k % 2 == 1 || k == nul || k == too_long
                           ? "{\"from\": 0, \"damage\": " + std::to_string(k) + ", \"target\": 2}"
                           : "";
    std::string extra =
        k == 100 || k == 650 || k == nul
            ? ", \"names\": [" + std::string(k == nul ? "\"Eve\", null" : names(k)) + "]"
            : "";
    if (k == too_long) extra = ", \"pad\": \"" + std::string(REPLAY_MAX_LINE, 'x') + "\"";
    std::string line = turn_line(k, hits, extra);
    if (k == nul) line[30] = '\0';
    if (k == 700)
      text += "{\"restart\": {\"after_turn\": 700, \"at\": \"2026-12-08T12:00:00Z\"}}\n";
    text += line;
  }
  RecordingFile file(text);
  const auto counted = [&](int from) {  // the header's scores and names, turn by turn
    int64_t hits = 0, damage = 0;
    for (int k = 1; k < from; k += 2) ++hits, damage += k;
    const std::string made = std::to_string(hits), dealt = std::to_string(damage);
    const std::string named = names(from - 1);
    return "\"names\": " + (named.empty() ? std::string("null") : "[" + named + "]") +
           ", \"scores\": [[" + made + ", 0, " + dealt + ", 0], [0, " + made + ", 0, " + dealt +
           "]]";
  };
  // As many scoreboards as the budget allows, and a handful: one every 64
  // turns, and fewer and fewer as they thin out.
  for (const size_t budget : {REPLAY_SCORE_BYTES, size_t{1000}}) {
    Replay replay;
    std::string err;
    ASSERT_TRUE(replay_load(file.path, replay, &err, budget)) << err;
    ASSERT_EQ(replay.turns, static_cast<uint64_t>(turns));
    EXPECT_EQ(replay.score_every > REPLAY_MARK_EVERY, budget < REPLAY_SCORE_BYTES);
    ReplayCursor shared;
    ASSERT_TRUE(replay_cursor_open(replay, shared, &err)) << err;
    for (const int from : {1499, 0, 1001, 1000, 999, 64, 63, 300, 301, 700, 701, 1499, 128, 5}) {
      SCOPED_TRACE(std::to_string(budget) + " " + std::to_string(from));
      ReplayCursor fresh;
      ASSERT_TRUE(replay_cursor_open(replay, fresh, &err)) << err;
      std::string own, from_fresh, from_shared;
      ASSERT_TRUE(replay_window(replay, static_cast<uint64_t>(from), 40, 1 << 20, &own));
      ASSERT_TRUE(
          replay_window(replay, fresh, static_cast<uint64_t>(from), 40, 1 << 20, &from_fresh));
      ASSERT_TRUE(
          replay_window(replay, shared, static_cast<uint64_t>(from), 40, 1 << 20, &from_shared));
      EXPECT_NE(own.find(counted(from)), std::string::npos) << own.substr(0, own.find('\n'));
      EXPECT_EQ(from_fresh, own);
      EXPECT_EQ(from_shared, own);
      EXPECT_LE(fresh.reader.capacity, REPLAY_MAX_LINE);
      if (from == 999) {  // the long line stepped over in its place
        EXPECT_NE(own.find("\n{\"damaged\": {\"line\": 1002, \"why\": \"is longer than 1048576 "
                           "bytes\"}}\n{\"turn\": 1002, "),
                  std::string::npos);
      }
    }
  }
}
