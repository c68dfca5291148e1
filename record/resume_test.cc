#include "record/resume.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "bots/route.h"

namespace {

// A match of 2 humans and 2 bots a few turns in, its bots between waypoints.
Match sample_match() {
  Match match;
  match.human_count = 2;
  match.bot_count = 2;
  match.map_number = 3;
  create_route_tables(match);
  const int32_t xs[2][9] = {{360, 342, 300, 258, 240, 258, 300, 342, 360},
                            {517, 483, 429, 388, 383, 417, 471, 512, 517}};
  const int32_t ys[2][9] = {{300, 342, 360, 342, 300, 258, 240, 258, 300},
                            {321, 362, 367, 333, 279, 238, 233, 267, 321}};
  for (size_t b = 0; b < 2; ++b) {
    for (size_t k = 0; k < 9; ++k) {
      match.route_x[b][k] = xs[b][k];
      match.route_y[b][k] = ys[b][k];
    }
  }
  set_up_tables(match);
  match.turn_count = 2;
  match.relay_a = 7;
  match.pos_x[0] = -40;
  match.health[1] = 61;
  match.trim_request[1] = 1;
  for (int turn = 0; turn < 5; ++turn) {
    for (int32_t b = 0; b < match.bot_count; ++b) bot_step(match, b);
  }
  return match;
}

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/zolt-resume-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_all(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The lines a recording of sample_match() holds after `turns` turns.
std::string recorded(const TempFolder& folder, int turns) {
  const std::string path = folder.file("lines.jsonl");
  std::filesystem::remove(path);
  Recording recording;
  std::string err;
  EXPECT_TRUE(recording_open(recording, path, 2, 2, {}, &err)) << err;
  recording_seat_peer(recording, 0, "10.0.0.7:4321");
  Match match = sample_match();
  for (int turn = 1; turn <= turns; ++turn) {
    for (int32_t b = 0; b < match.bot_count; ++b) bot_step(match, b);
    recording_write_turn(recording, static_cast<uint64_t>(turn), match);
  }
  std::fclose(recording.file);
  return read_all(path);
}

TEST(Resume, ASavedMatchComesBackTableForTable) {
  TempFolder folder;
  const std::string path = folder.file("match.jsonl");
  write_all(path, recorded(folder, 3));
  ResumePoint point;
  std::string err;
  ASSERT_TRUE(read_resume_point(path, &point, &err)) << err;
  ASSERT_TRUE(point.has_turn);
  EXPECT_FALSE(point.finished);
  EXPECT_EQ(point.save.turn, 3u);
  EXPECT_EQ(point.line_number, 3u);
  EXPECT_EQ(point.save.peers, (std::vector<std::string>{"10.0.0.7", ""}));
  Match restored;
  restore_match(restored, point.save, point.routes);
  Match expected = sample_match();
  for (int turn = 1; turn <= 3; ++turn) {
    for (int32_t b = 0; b < expected.bot_count; ++b) bot_step(expected, b);
  }
  // The next steps, where a rounded float would part the two.
  for (int turn = 0; turn < 40; ++turn) {
    for (int32_t b = 0; b < expected.bot_count; ++b) {
      bot_step(expected, b);
      bot_step(restored, b);
    }
    ASSERT_EQ(restored.pos_x, expected.pos_x) << "step " << turn;
    ASSERT_EQ(restored.pos_y, expected.pos_y) << "step " << turn;
    ASSERT_EQ(restored.heading, expected.heading) << "step " << turn;
  }
  EXPECT_EQ(restored.route_length, expected.route_length);
  EXPECT_EQ(restored.health, expected.health);
  EXPECT_EQ(restored.relay_a, expected.relay_a);
}

// line with the first bot's first float bits (its segment's from x) set to bits.
std::string float_bits_set(const std::string& line, const char* bits) {
  return std::regex_replace(line, std::regex("(\"bots_state\": \\[\\[(-?[0-9]+, ){5})[0-9]+"),
                            std::string("$01") + bits, std::regex_constants::format_first_only);
}

// A file whose last whole turn cannot be gone on from, or whose turns are
// out of order, is refused, naming the line and what is wrong, and left as
// it was.
TEST(Resume, ABadRecordingIsRefusedAndLeftAsItIs) {
  TempFolder folder;
  const std::string good = recorded(folder, 2);
  const std::string first = good.substr(0, good.find('\n') + 1);
  const std::string second = good.substr(first.size());
  const auto edited = [&second](const std::string& from, const std::string& to) {
    std::string line = second;
    const size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
  };
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {first + "{\"turn\": 2, \"map\": 3}\n", "line 2: it holds no save"},
      {first + edited("\"v\": 1", "\"v\": 9"), "line 2: its save is of version 9"},
      {first + std::regex_replace(second, std::regex("\"route_length\": [0-9]"),
                                  "\"route_length\": 12"),
       "\"route_length\" is 12"},
      {first + edited("{\"index\": 0, ", "{\"index\": 0, \"index\": 0, "), ""},
      {first + edited("\"humans\": 2", "\"humans\": 3"), "\"players\" holds 4 rows for 5"},
      {first + edited("\"peers\": [", "\"peers\": [\"1.2.3.4\", "), "\"peers\" holds 3"},
      {first + edited("\"health\": 61", "\"health\": 3000000000"), "player 1: \"health\" is"},
      {first + edited("}}\n", "}\n"), "line 2: it is not JSON"},
      {std::regex_replace(first + second, std::regex(", \"routes\": \\[\\[[-0-9, \\[\\]]*\\]\\]"),
                          ""),
       "no line up to it names the bots' routes"},
      // A segment's float bits: an infinity, a NaN.
      {first + float_bits_set(second, "2139095040"), "bot 0's state value 5 holds the bits of no"},
      {first + float_bits_set(second, "4290772992"), "bot 0's state value 5 holds the bits of no"},
      // The turns' order.
      {second, "line 1: turn 2 follows turn 0"},
      {first + first + second, "line 2: turn 1 follows turn 1"},
      {first + second + first, "line 3: turn 1 follows turn 2"},
      {first + edited("{\"turn\": 2,", "{\"turn\": 3,"), "line 2: turn 3 follows turn 1"},
      {first + edited("{\"turn\": 2,", "{\"turn\": 18446744073709551615,"),
       "line 2: its turn is no count"},
      {first + edited("{\"turn\": 2,", "{\"turn\": 9223372036854775807,"),
       "line 2: turn 9223372036854775807 follows turn 1"},
      {first + "{\"restart\": {\"after_turn\": 5, \"at\": \"2026-12-08T10:00:00Z\"}}\n" + second,
       "line 2: its restart after turn 5 follows turn 1"},
      {first + "{\"gap\": {\"after_turn\": 1, \"turns\": 2}}\n" + second,
       "line 3: turn 2 follows turn 3"},
      {first + "{\"gap\": {\"after_turn\": 1, \"turns\": 2}}\n" +
           edited("{\"turn\": 2,", "{\"turn\": 4,"),
       ""},
      {first + "{\"gap\": {\"after_turn\": 1, \"turns\": 0}}\n" + second,
       "line 2: it is no gap line as written"},
      {first + "{\"gap\": {\"after_turn\": 1, \"turns\": 9223372036854775807}}\n" + second,
       "line 2: its gap of 9223372036854775807 turns"},
      {first + "{\"other\": 1}\n" + second, "line 2: it is neither a turn"},
      {first + "[1, 2]\n" + second, "line 3: a whole line after line 2 does not start with"},
  };
  const std::string path = folder.file("match.jsonl");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 300));
    write_all(path, c.text);
    ResumePoint point;
    std::string err;
    const bool read = read_resume_point(path, &point, &err);
    if (*c.error == '\0') {
      EXPECT_TRUE(read) << err;  // a member named twice (the JSON reader keeps one), a gap
      continue;
    }
    EXPECT_FALSE(read) << c.error;
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_EQ(read_all(path), c.text);
  }
}

// What a crash leaves after the last whole line is left out, copied aside
// and cut off once the resume goes on; the file then goes on whole.
TEST(Resume, WhatACrashLeftIsCopiedAsideAndCutOff) {
  TempFolder folder;
  const std::string good = recorded(folder, 3);
  const std::string two = good.substr(0, good.find('\n', good.find('\n') + 1) + 1);
  const std::string end = "{\"end\": {\"reason\": \"stopped\"}}\n";
  const std::string restart =
      "{\"restart\": {\"after_turn\": 2, \"at\": \"2026-12-08T10:00:00Z\"}}\n";
  const struct {
    std::string text;
    bool finished;
    uint64_t turn;  // 0: none to go on from
    std::string kept, aside;
  } cases[] = {
      {good, false, 3, good, ""},
      {two + good.substr(two.size(), 40), false, 2, two, good.substr(two.size(), 40)},
      {two + std::string(700, '\0'), false, 2, two, std::string(700, '\0')},
      {two + std::string(5, '\0') + "\n" + "{\"tu", false, 2, two,
       std::string(5, '\0') + "\n{\"tu"},
      {two + restart + "{\"turn\": 3, \"ma", false, 2, two + restart, "{\"turn\": 3, \"ma"},
      {two + end, true, 0, two + end, ""},
      {"{\"tur", false, 0, "{\"tur", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(c.text.size() > 60 ? c.text.size() - 60 : 0));
    TempFolder case_folder;
    const std::string path = case_folder.file("match.jsonl");
    write_all(path, c.text);
    ResumePoint point;
    std::string err;
    ASSERT_TRUE(read_resume_point(path, &point, &err)) << err;
    EXPECT_EQ(point.finished, c.finished);
    EXPECT_EQ(point.has_turn && !point.finished ? point.save.turn : 0, c.turn);
    if (c.turn == 0) {
      EXPECT_EQ(read_all(path), c.text);
      continue;
    }
    Recording recording;
    ASSERT_TRUE(recording_continue(recording, point, {}, &err)) << err;
    recording_write_restart(recording, c.turn, 0);
    std::fclose(recording.file);
    EXPECT_EQ(read_all(path), c.kept + "{\"restart\": {\"after_turn\": " + std::to_string(c.turn) +
                                  ", \"at\": \"1970-01-01T00:00:00Z\"}}\n");
    EXPECT_EQ(read_all(path + ".cut"), c.aside);
  }
}

// The recording a resume takes up is the last start's: the one its mark
// names; without a mark the one written last, whatever names are missing
// between (a deleted lan.jsonl does not hide lan-2.jsonl).
TEST(Resume, TheRecordingToGoOnIsTheLastStarts) {
  struct Case {
    const char* name;
    std::vector<const char*> files;  // written in this order, a minute apart
    const char* marked;              // the mark's recording, null for no mark
    const char* chosen;              // "" for none
  } cases[] = {
      {"nothing yet", {}, nullptr, ""},
      {"one file", {"lan.jsonl"}, nullptr, "lan.jsonl"},
      {"the newest of a row", {"lan.jsonl", "lan-1.jsonl", "lan-2.jsonl"}, nullptr, "lan-2.jsonl"},
      {"the newest past a gap", {"lan-1.jsonl", "lan-3.jsonl"}, nullptr, "lan-3.jsonl"},
      {"newer than its followers", {"lan-1.jsonl", "lan.jsonl"}, nullptr, "lan.jsonl"},
      {"the marked, not the newest", {"lan.jsonl", "lan-1.jsonl"}, "lan.jsonl", "lan.jsonl"},
      {"the marked one deleted", {"lan-1.jsonl"}, "lan.jsonl", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const auto now = std::filesystem::file_time_type::clock::now();
    int minute = 0;
    for (const char* name : c.files) {
      write_all(folder.file(name), "");
      std::filesystem::last_write_time(folder.file(name), now + std::chrono::minutes(minute++));
    }
    LastStart mark;
    if (c.marked != nullptr) mark.recording = c.marked;
    std::string note;
    EXPECT_EQ(resume_file(folder.file("lan.jsonl"), mark, &note),
              *c.chosen == '\0' ? std::string() : folder.file(c.chosen));
    EXPECT_EQ(note.empty(), c.marked == nullptr || *c.chosen != '\0') << note;
  }
}

}  // namespace
