#include "record/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A file of its own, removed at the end.
struct TempFile {
  explicit TempFile(const std::string& text) {
    path = testing::TempDir() + "line_reader_test_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl";
    std::ofstream(path, std::ios::binary) << text;
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

// A line as the reader gave it: its kind, then its text when whole or its
// why otherwise, and where it was.
struct Seen {
  LineKind kind;
  std::string text_or_why;
  uint64_t offset, length;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << line_kind_name(seen.kind) << " '" << seen.text_or_why << "' at " << seen.offset
             << " length " << seen.length;
}

// Every line of path, read with max_line; fails the test on a read error or
// a buffer grown past max_line.
std::vector<Seen> read_all(const std::string& path, size_t max_line) {
  LineReader reader;
  std::string err;
  std::vector<Seen> seen;
  EXPECT_TRUE(line_reader_open(reader, path, max_line, &err)) << err;
  RecordingLine line;
  while (line_reader_next(reader, &line)) {
    EXPECT_EQ(line.number, seen.size());
    EXPECT_LE(reader.capacity, max_line);
    seen.push_back({line.kind,
                    line.kind == LineKind::Whole ? std::string(line.text) : std::string(line.why),
                    line.offset, line.length});
  }
  EXPECT_EQ(reader.error, "");
  return seen;
}

const std::string kNul(1, '\0');

TEST(LineReader, TellsWholeLinesFromWhatACrashLeaves) {
  using K = LineKind;
  const std::string big(64 * 1024 - 3, 'x');  // with "{}\r": the '\r' ends the first read-ahead
  const struct {
    const char* name;
    std::string text;
    size_t max_line;
    std::vector<Seen> lines;
  } cases[] = {
      {"whole lines", "{a}\n{b}\n", 16, {{K::Whole, "{a}", 0, 3}, {K::Whole, "{b}", 4, 3}}},
      {"a NUL in a middle line",
       "{a}\n{b" + kNul + "c}\n{d}\n",
       16,
       {{K::Whole, "{a}", 0, 3}, {K::Damaged, "holds a NUL byte", 4, 5}, {K::Whole, "{d}", 10, 3}}},
      {"a NUL-filled block at the end",
       "{a}\n" + std::string(4096, '\0'),
       16,
       {{K::Whole, "{a}", 0, 3}, {K::Cut, "ends before its line feed", 4, 4096}}},
      {"a NUL-filled block, then lines again",
       "{a}\n" + std::string(100, '\0') + "{b}\n{c}\n",
       1024,
       {{K::Whole, "{a}", 0, 3},
        {K::Damaged, "holds a NUL byte", 4, 103},
        {K::Whole, "{c}", 108, 3}}},
      {"a last line cut short",
       "{a}\n{\"tu",
       16,
       {{K::Whole, "{a}", 0, 3}, {K::Cut, "ends before its line feed", 4, 4}}},
      {"CRLF", "{a}\r\n{b}\r\n", 16, {{K::Whole, "{a}", 0, 4}, {K::Whole, "{b}", 5, 4}}},
      {"a CR inside", "{a\r}\n", 16, {{K::Damaged, "holds a control byte", 0, 4}}},
      {"a tab is fine", "{\t}\n", 16, {{K::Whole, "{\t}", 0, 3}}},
      {"an escape byte",
       "{\x1b}\n{\x7f}\n",
       16,
       {{K::Damaged, "holds a control byte", 0, 3}, {K::Damaged, "holds a control byte", 4, 3}}},
      {"an empty line", "\n{a}\n", 16, {{K::Damaged, "is empty", 0, 0}, {K::Whole, "{a}", 1, 3}}},
      {"not an object",
       "abc\n{a\n",
       16,
       {{K::Damaged, "does not start with '{'", 0, 3},
        {K::Damaged, "does not end with '}'", 4, 2}}},
      {"too long",
       "{0123456789}\n{a}\n",
       8,
       {{K::TooLong, "is longer than 8 bytes", 0, 12}, {K::Whole, "{a}", 13, 3}}},
      {"exactly as long as allowed", "{abc}\n", 5, {{K::Whole, "{abc}", 0, 5}}},
      {"too long and cut", "{0123456789", 8, {{K::Cut, "ends before its line feed", 0, 11}}},
      {"across the read-ahead",
       "{" + big + "}\r\n{a}\n",
       1 << 20,
       {{K::Whole, "{" + big + "}", 0, big.size() + 3}, {K::Whole, "{a}", big.size() + 4, 3}}},
      {"a restart mark is a line like any",
       "{\"restart\": {\"after_turn\": 12, \"at\": \"2026-12-08T12:00:00Z\"}}\n",
       128,
       {{K::Whole, "{\"restart\": {\"after_turn\": 12, \"at\": \"2026-12-08T12:00:00Z\"}}", 0,
         61}}},
      {"an empty file", "", 16, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile file(c.text);
    EXPECT_EQ(read_all(file.path, c.max_line), c.lines);
  }
}

// A line far longer than the reader's limit is read past, never held: the
// buffer stays within max_line however long the line.
TEST(LineReader, AFiftyMegabyteLineIsReadPastWithinTheLimit) {
  const size_t max_line = 1024 * 1024;
  const std::string text = "{a}\n{" + std::string(50 * 1024 * 1024, 'x') + "}\n{b}\n";
  TempFile file(text);
  const std::vector<Seen> lines = read_all(file.path, max_line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1],
            (Seen{LineKind::TooLong, "is longer than 1048576 bytes", 4, 50 * 1024 * 1024 + 2}));
  EXPECT_EQ(lines[2], (Seen{LineKind::Whole, "{b}", text.size() - 4, 3}));
}

TEST(LineReader, GoesOnFromAnOffsetItWasGiven) {
  TempFile file("{a}\n{bb}\n{ccc}\n");
  LineReader reader;
  std::string err;
  ASSERT_TRUE(line_reader_open(reader, file.path, 16, &err)) << err;
  RecordingLine line;
  for (int pass = 0; pass < 2; ++pass) {  // the second after reading to the end
    ASSERT_TRUE(line_reader_seek(reader, 4, 1));
    ASSERT_TRUE(line_reader_next(reader, &line));
    EXPECT_EQ(line.text, "{bb}");
    EXPECT_EQ(line.number, 1u);
    ASSERT_TRUE(line_reader_next(reader, &line));
    EXPECT_EQ(line.text, "{ccc}");
    EXPECT_EQ(line.offset, 9u);
    EXPECT_EQ(line.number, 2u);
    EXPECT_FALSE(line_reader_next(reader, &line));
    EXPECT_EQ(reader.error, "");
  }
}

TEST(LineReader, RefusesWhatIsNoRegularFile) {
  LineReader reader;
  std::string err;
  EXPECT_FALSE(line_reader_open(reader, testing::TempDir(), 16, &err));
  EXPECT_NE(err.find(testing::TempDir()), std::string::npos) << err;
  EXPECT_FALSE(line_reader_open(reader, testing::TempDir() + "no-such-file.jsonl", 16, &err));
  EXPECT_NE(err.find("no-such-file.jsonl"), std::string::npos) << err;
}

}  // namespace
