// The last start's mark (FILE.last) of any bytes, as a crash, another
// program or a hostile hand may leave it: a resume takes it, or reads it as
// no mark, without harm. What it takes names a file of the recording's own
// folder; and whatever this server then writes into it reads back the same.
//
// Input: bytes 0-7 the turns to write (little-endian, taken under 10^19),
// bytes 8-15 the playing time in ms (negative: unknown), byte 16 whether the
// end was lost, then the mark's file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "record/last_start.h"

namespace {

// The folder every input's mark is written to, made once per run.
const std::string& folder() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr ? tmp : "/tmp") + "/fuzz_last_start_XXXXXX";
    FUZZ_REQUIRE(mkdtemp(name.data()) != nullptr, "cannot make a temporary folder");
    return name;
  }();
  return path;
}

uint64_t take_uint64(FuzzInput& input) {
  uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 8) value |= uint64_t{input.take_byte()} << shift;
  return value;
}

// Takes the mark of record_file; the lock is free, so only a system error
// could refuse it.
LastStart take(const std::string& record_file) {
  LastStart mark;
  std::string note, err;
  FUZZ_REQUIRE(last_start_take(mark, record_file, &note, &err), "%s", err.c_str());
  return mark;
}

void release(LastStart& mark) {
  if (mark.file != nullptr) std::fclose(mark.file);
  mark.file = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  // At most 19 digits, as every turn count of a recording.
  const uint64_t turns = take_uint64(input) % 10'000'000'000'000'000'000u;
  const auto played_ms = static_cast<int64_t>(take_uint64(input));
  const bool end_lost = (input.take_byte() & 1) != 0;
  std::string content(input.remaining(), '\0');
  input.take_bytes(content.data(), content.size());

  const std::string record_file = folder() + "/match.jsonl";
  std::ofstream(last_start_path(record_file), std::ios::binary | std::ios::trunc) << content;
  LastStart mark = take(record_file);
  const std::string& name = mark.recording;
  FUZZ_REQUIRE(name.find('/') == std::string::npos && name.find('\0') == std::string::npos,
               "a name outside the folder: '%s'", name.c_str());

  // This start writes its own mark over it, as a resume or a new match does.
  // Under a billion seconds: a longer time is read as no mark, by design.
  mark.played_ms = played_ms < 0 ? -1 : played_ms % 1'000'000'000'000;
  std::string err;
  FUZZ_REQUIRE(last_start_begin(mark, folder() + "/match-1.jsonl", 0, &err), "%s", err.c_str());
  FUZZ_REQUIRE(last_start_note(mark, turns, end_lost), "the note was not written");
  const int64_t written_ms = mark.played_ms;
  release(mark);

  LastStart again = take(record_file);
  FUZZ_REQUIRE(again.recording == "match-1.jsonl", "'%s'", again.recording.c_str());
  FUZZ_REQUIRE(again.turns_played == turns && again.end_lost == end_lost, "turns or end");
  FUZZ_REQUIRE(again.played_ms == written_ms, "%lld ms read, %lld written",
               static_cast<long long>(again.played_ms), static_cast<long long>(written_ms));
  release(again);
  return 0;
}
