#include "server/player_names.h"

#include <gtest/gtest.h>

namespace {

TEST(PlayerNames, TheAddressNamesBeforeTheIndex) {
  Options options;
  options.names = {"Ann", "", "Cid"};
  options.address_names = {{0x0A000005, "Eve"}, {0x0A000006, "Flo"}};  // 10.0.0.5, 10.0.0.6
  const struct {
    int32_t index;
    const char* peer;
    const char* name;
  } cases[] = {
      {0, "", "Ann"},
      {0, "10.0.0.9:4000", "Ann"},  // an address nobody named
      {1, "", ""},                  // an empty place in --names
      {2, "10.0.0.5:4000", "Eve"},  // the address wins
      {1, "10.0.0.6", "Flo"},       // without a port
      {3, "", ""},                  // past the list
      {-1, "", ""},
      {0, "not an address", "Ann"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.index) + " " + c.peer);
    EXPECT_EQ(player_name(options, c.index, c.peer), c.name);
    const int32_t id = player_name_id(options, c.index, c.peer);
    const std::vector<std::string> table = player_name_table(options);
    EXPECT_EQ(id < 0 ? std::string() : table[static_cast<size_t>(id)], c.name);
  }
}

TEST(PlayerNames, NoneWithoutOptions) {
  EXPECT_EQ(player_name_id(Options{}, 0, "127.0.0.1:5"), -1);
  EXPECT_TRUE(player_name_table(Options{}).empty());
}

}  // namespace
