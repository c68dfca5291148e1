#include "record/end_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct StringOut {
  std::string text;
  void put(const char* bytes, size_t length) { text.append(bytes, length); }
};

TEST(EndRecord, ExactText) {
  const std::vector<int32_t> health = {-40, 93};
  std::vector<PlayerScore> scores(2);
  scores[0] = {1, 2, -3, 140};
  scores[1] = {2, 1, 140, -3};
  const std::vector<const char*> names = {"Ann", nullptr};
  const int32_t order[] = {1, 0};
  StringOut out;
  write_end_json(
      out, MatchEnd{EndReason::Stopped, "stopped by SIGTERM", 1500, 613}, order, 2,
      [&](size_t p) { return health[p]; }, [&](size_t p) { return scores[p]; },
      [&](size_t p) { return names[p]; });
  EXPECT_EQ(out.text,
            "{\"reason\": \"stopped\", \"why\": \"stopped by SIGTERM\", \"turns\": 1500, "
            "\"seconds\": 61.3, \"standings\": [{\"index\": 1, \"health\": 93, \"hits_made\": 2, "
            "\"hits_taken\": 1, \"damage_dealt\": 140, \"damage_taken\": -3}, {\"index\": 0, "
            "\"name\": \"Ann\", \"health\": -40, \"hits_made\": 1, \"hits_taken\": 2, "
            "\"damage_dealt\": -3, \"damage_taken\": 140}]}");
}

TEST(EndRecord, TextThatWouldBreakTheJsonIsLeftOut) {
  const struct {
    const char* text;
    const char* written;
  } cases[] = {
      {"player 1 left", "player 1 left"},
      {"a \"quote\"", "a quote"},
      {"back\\slash", "backslash"},
      {"line\nend\ttab", "lineendtab"},
      {"", ""},
  };
  for (const auto& c : cases) {
    StringOut out;
    put_json_text(out, c.text);
    EXPECT_EQ(out.text, c.written) << c.text;
  }
}

TEST(EndRecord, IntegersAcrossTheirRange) {
  const struct {
    int64_t value;
    const char* text;
  } cases[] = {{0, "0"},
               {-1, "-1"},
               {8000000000, "8000000000"},
               {INT64_MIN, "-9223372036854775808"},
               {INT64_MAX, "9223372036854775807"}};
  for (const auto& c : cases) {
    StringOut out;
    put_json_int(out, c.value);
    EXPECT_EQ(out.text, c.text);
  }
}

}  // namespace
