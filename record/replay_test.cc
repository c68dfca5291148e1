#include "record/replay.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

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
