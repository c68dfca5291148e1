#include "record/recording.h"

#include <gtest/gtest.h>

namespace {

TEST(RecordingName, TimePlaceholdersAreFilledInUtc) {
  const std::time_t now = 1796700014;  // 2026-12-08T03:20:14Z
  const struct {
    const char* path;
    std::string name;  // "": refused
  } cases[] = {
      {"match.jsonl", "match.jsonl"},
      {"lan1-%Y%m%d-%H%M%S.jsonl", "lan1-20261208-032014.jsonl"},
      {"%Y/%m/%d/%H.jsonl", "2026/12/08/03.jsonl"},
      {"100%%-%M.jsonl", "100%-20.jsonl"},
      {"match-%y.jsonl", ""},
      {"match-%", ""},
      {"%s.jsonl", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string name, err;
    EXPECT_EQ(recording_name(c.path, now, &name, &err) ? name : "", c.name) << err;
  }
}

TEST(RecordingName, ANumberGoesBeforeTheExtension) {
  const struct {
    const char* name;
    const char* numbered;
  } cases[] = {
      {"lan1.jsonl", "lan1-3.jsonl"},
      {"games.d/lan1", "games.d/lan1-3"},
      {"games\\.hidden", "games\\.hidden-3"},
      {"a.b.jsonl", "a.b-3.jsonl"},
  };
  for (const auto& c : cases) EXPECT_EQ(recording_numbered_name(c.name, 3), c.numbered);
}

}  // namespace
