#include "record/replay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

// A window names the routes the last line before it named, wherever that
// line stands among the index's marks.
TEST(ReplayWindow, NamesTheRoutesInForceBeforeIt) {
  const std::string path =
      (std::filesystem::temp_directory_path() / "zolt-replay-test.jsonl").string();
  {
    std::ofstream out(path, std::ios::binary);
    for (int line = 0; line < 300; ++line) {
      out << "{\"turn\": " << line + 1 << ", \"players\": []";
      if (line == 0 || line == 100 || line == 130) out << ", \"routes\": [[" << line << "]]";
      out << ", \"hits\": []}\n";
    }
    out << "{\"turn\": 301, \"pla";  // cut short
  }
  Replay replay;
  std::string err;
  ASSERT_TRUE(replay_load(path, replay, &err)) << err;
  EXPECT_EQ(replay.turns, 300u);
  const struct {
    uint64_t from;
    const char* routes;
  } cases[] = {{0, "null"},      {1, "[[0]]"},     {100, "[[0]]"},   {101, "[[100]]"},
               {128, "[[100]]"}, {130, "[[100]]"}, {131, "[[130]]"}, {299, "[[130]]"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    std::string window;
    ASSERT_TRUE(replay_window(replay, c.from, 2, 1 << 20, &window));
    EXPECT_EQ(window.substr(0, window.find('\n')), "{\"from\": " + std::to_string(c.from) +
                                                       ", \"total\": 300, \"map_name\": \"\", " +
                                                       "\"routes\": " + c.routes + "}");
    // Then the lines from `from` on.
    EXPECT_EQ(window.find("\n{\"turn\": " + std::to_string(c.from + 1) + ", "), window.find('\n'));
  }
  std::string window;
  EXPECT_FALSE(replay_window(replay, 300, 1, 1 << 20, &window));
  std::filesystem::remove(path);
}

}  // namespace
