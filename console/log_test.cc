#include "console/log.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatTimestamp, GivesTheUtcDateAndTimeInFixedFields) {
  const struct {
    long long time;
    const char* stamp;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951825599, "2000-02-29T11:59:59Z"},   // a leap day of a century's leap year
      {4107542400, "2100-03-01T00:00:00Z"},  // 2100 is no leap year
      {253402300799, "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    char stamp[TIMESTAMP_SIZE];
    format_timestamp(static_cast<std::time_t>(c.time), stamp);
    EXPECT_STREQ(stamp, c.stamp) << c.time;
  }
}

}  // namespace
