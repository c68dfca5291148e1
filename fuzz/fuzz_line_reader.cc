// A recording of any bytes, as a crash, a power cut or a hostile hand may
// leave it: written to a file, read through the line reader and replayed.
// The reader must account for every byte (each line starts where the last
// ended, only the last may be cut), tell each kind by the rules of
// record/line_reader.h, and never hold more than its limit; the replay must
// serve every turn it counted, one line each.
//
// Input: byte 0 the reader's longest line (1..64), byte 1 a window's count
// (0..255), byte 2 its bytes (1..4096 in steps of 16), then the file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/log.h"
#include "fuzz/fuzz_support.h"
#include "record/line_reader.h"
#include "record/replay.h"

namespace {

// The file every input is written to, made once per run.
const std::string& file_path() {
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    std::string name =
        std::string(folder != nullptr ? folder : "/tmp") + "/fuzz_line_reader_XXXXXX";
    const int fd = mkstemp(name.data());
    FUZZ_REQUIRE(fd >= 0, "cannot make a temporary file");
    close(fd);
    return name;
  }();
  return path;
}

// Whether the bytes of a line that ended with its line feed make it whole,
// by the rules.
bool is_whole(std::string_view bytes) {
  if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
  if (bytes.empty() || bytes.front() != '{' || bytes.back() != '}') return false;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < ' ' && b != '\t') || b == 0x7f) return false;
  }
  return true;
}

void check_reader(const std::string& content, size_t max_line, uint64_t* turns) {
  LineReader reader;
  std::string err;
  FUZZ_REQUIRE(line_reader_open(reader, file_path(), max_line, &err), "%s", err.c_str());
  RecordingLine line;
  uint64_t offset = 0, number = 0;
  bool cut = false;
  *turns = 0;
  while (line_reader_next(reader, &line)) {
    FUZZ_REQUIRE(!cut, "a line after a cut one");
    FUZZ_REQUIRE(line.number == number && line.offset == offset, "line %llu at %llu",
                 static_cast<unsigned long long>(line.number),
                 static_cast<unsigned long long>(line.offset));
    FUZZ_REQUIRE(line.offset + line.length <= content.size(), "past the end");
    FUZZ_REQUIRE(reader.capacity <= max_line, "a buffer of %zu", reader.capacity);
    const std::string_view bytes(content.data() + line.offset, line.length);
    cut = line.kind == LineKind::Cut;
    FUZZ_REQUIRE(cut == (line.offset + line.length == content.size()), "cut or not");
    FUZZ_REQUIRE(bytes.find('\n') == std::string_view::npos, "a line feed inside");
    if (!cut) {
      FUZZ_REQUIRE((line.kind == LineKind::TooLong) == (line.length > max_line), "too long or not");
      if (line.kind != LineKind::TooLong) {
        FUZZ_REQUIRE((line.kind == LineKind::Whole) == is_whole(bytes), "whole or not");
      }
    }
    if (line.kind == LineKind::Whole) {
      FUZZ_REQUIRE(bytes.substr(0, line.text.size()) == line.text &&
                       (line.text.size() == bytes.size() || line.text.size() + 1 == bytes.size()),
                   "the text");
    } else {
      FUZZ_REQUIRE(line.text.empty() && *line.why != '\0', "a why");
    }
    const bool no_turn = cut || (line.kind == LineKind::Whole &&
                                 (line.text.rfind("{\"restart\": ", 0) == 0 ||
                                  line.text.rfind("{\"gap\": ", 0) == 0 ||
                                  (line.text.rfind("{\"end\": ", 0) == 0 && line.text.size() > 9)));
    if (!no_turn) ++*turns;
    offset += line.length + (cut ? 0 : 1);
    ++number;
  }
  FUZZ_REQUIRE(reader.error.empty(), "%s", reader.error.c_str());
  FUZZ_REQUIRE(offset == content.size(), "%llu of %zu bytes",
               static_cast<unsigned long long>(offset), content.size());
}

void check_replay(uint64_t turns, uint64_t count, size_t max_bytes) {
  Replay replay;
  std::string err, window;
  FUZZ_REQUIRE(replay_load(file_path(), replay, &err), "%s", err.c_str());
  FUZZ_REQUIRE(replay.turns == turns, "%llu turns, %llu lines",
               static_cast<unsigned long long>(replay.turns),
               static_cast<unsigned long long>(turns));
  FUZZ_REQUIRE(!replay_window(replay, turns, 1, max_bytes, &window), "a turn past the last");
  // Every turn, window after window, however small they are.
  for (uint64_t from = 0; from < turns;) {
    FUZZ_REQUIRE(replay_window(replay, from, count == 0 ? 1 : count, max_bytes, &window),
                 "turn %llu", static_cast<unsigned long long>(from));
    uint64_t lines = 0;
    for (const char c : window) lines += c == '\n';
    FUZZ_REQUIRE(lines >= 2 && window.back() == '\n', "a window without its turn");
    from += lines - 1;
  }
  if (turns > 0) {
    FUZZ_REQUIRE(replay_window(replay, turns - 1, 0, max_bytes, &window), "count 0");
    FUZZ_REQUIRE(window.find('\n') == window.size() - 1, "count 0 gives more than its header");
  }
  FUZZ_REQUIRE(replay_health_chart(replay, &window), "the chart");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_threshold = LogLevel::Error;  // damaged lines are the point here, not news
  FuzzInput input(data, size);
  const size_t max_line = 1 + input.take_byte() % 64;
  const uint64_t count = input.take_byte();
  const size_t max_bytes = 1 + size_t{input.take_byte()} * 16;
  std::string content(input.remaining(), '\0');
  input.take_bytes(content.data(), content.size());
  std::FILE* file = std::fopen(file_path().c_str(), "wb");
  FUZZ_REQUIRE(file != nullptr, "cannot write the file");
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
  uint64_t turns = 0;
  check_reader(content, max_line, &turns);
  // The replay reads lines of up to REPLAY_MAX_LINE: its turns are those of a
  // reader with that limit.
  if (max_line < REPLAY_MAX_LINE) check_reader(content, REPLAY_MAX_LINE, &turns);
  check_replay(turns, count, max_bytes);
  return 0;
}
