#include "record/last_start.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/zolt-mark-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void release(LastStart& mark) {
  if (mark.file != nullptr) std::fclose(mark.file);
  mark.file = nullptr;
}

// A mark as each version writes it: an earlier one's has no time (unknown,
// never read as none), this one's a time to the millisecond or null.
TEST(LastStart, EveryVersionsMarkIsRead) {
  struct Case {
    const char* name;
    const char* line;
    bool followed;
    uint64_t turns;
    int64_t played_ms;
    bool end_lost;
  } cases[] = {
      {"an earlier version's",
       R"({"recording": "lan.jsonl", "turns_played": 12   , "end_lost": false})", true, 12, -1,
       false},
      {"an earlier version's end lost",
       R"({"recording": "lan.jsonl", "turns_played": 40, "end_lost": true })", true, 40, -1, true},
      {"with a time",
       R"({"recording": "lan.jsonl", "turns_played": 7  , "seconds": 83.042   , "end_lost": false})",
       true, 7, 83042, false},
      {"with no time known",
       R"({"recording": "lan.jsonl", "turns_played": 7, "seconds": null , "end_lost": true })",
       true, 7, -1, true},
      {"a time without its thousandths",
       R"({"recording": "lan.jsonl", "turns_played": 7, "seconds": 83.0, "end_lost": false})",
       false, 0, -1, false},
      {"a time no match plays",
       R"({"recording": "lan.jsonl", "turns_played": 7, "seconds": 9999999999.000, "end_lost": false})",
       false, 0, -1, false},
      {"a time of no number",
       R"({"recording": "lan.jsonl", "turns_played": 7, "seconds": -1.000, "end_lost": false})",
       false, 0, -1, false},
      {"a name with a zero byte, which the system would cut",
       R"({"recording": "lan\u0000.jsonl", "turns_played": 7, "seconds": null, "end_lost": false})",
       false, 0, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    std::ofstream(folder.file("lan.jsonl.last")) << c.line << "\n";
    LastStart mark;
    std::string note, err;
    ASSERT_TRUE(last_start_take(mark, folder.file("lan.jsonl"), &note, &err)) << err;
    release(mark);
    EXPECT_EQ(note.empty(), c.followed) << note;
    EXPECT_EQ(mark.recording, c.followed ? "lan.jsonl" : "");
    EXPECT_EQ(mark.turns_played, c.turns);
    EXPECT_EQ(mark.played_ms, c.played_ms);
    EXPECT_EQ(mark.end_lost, c.end_lost);
  }
}

// What one start writes the next reads back, the line's length kept
// whatever the numbers, and a time unknown stays unknown.
TEST(LastStart, TheTimeWrittenIsReadBack) {
  for (const int64_t played_ms : {int64_t{0}, int64_t{61300}, int64_t{-1}, int64_t{999999999999}}) {
    SCOPED_TRACE(played_ms);
    TempFolder folder;
    const std::string recording = folder.file("lan.jsonl");
    LastStart mark;
    std::string note, err;
    ASSERT_TRUE(last_start_take(mark, recording, &note, &err)) << err;
    mark.played_ms = 5;
    ASSERT_TRUE(last_start_begin(mark, recording, 3, &err)) << err;
    const size_t length = mark.line.size();
    mark.played_ms = played_ms;
    ASSERT_TRUE(last_start_note(mark, 1234567, true));
    EXPECT_EQ(mark.line.size(), length);
    release(mark);
    std::ifstream in(recording + ".last");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().size(), length) << text.str();
    LastStart again;
    ASSERT_TRUE(last_start_take(again, recording, &note, &err)) << err;
    release(again);
    EXPECT_TRUE(note.empty()) << note;
    EXPECT_EQ(again.turns_played, 1234567u);
    EXPECT_EQ(again.played_ms, played_ms);
    EXPECT_TRUE(again.end_lost);
  }
}

}  // namespace
