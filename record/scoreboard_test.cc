#include "record/scoreboard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string describe(const std::vector<PlayerScore>& scores) {
  std::string text;
  for (const PlayerScore& s : scores) {
    text += std::to_string(s.hits_made) + "/" + std::to_string(s.hits_taken) + "/" +
            std::to_string(s.damage_dealt) + "/" + std::to_string(s.damage_taken) + " ";
  }
  return text;
}

// Three players; each case one hit: from, damage, target (player + 1).
TEST(Scoreboard, AHitCountsForItsShooterAndTheTargetItNames) {
  const struct {
    const char* name;
    int32_t from, damage, target;
    std::string scores;
  } cases[] = {
      {"0 hits 1", 0, 12, 2, "1/0/12/0 0/1/0/12 0/0/0/0 "},
      {"a heal", 2, -5, 1, "0/1/0/-5 0/0/0/0 1/0/-5/0 "},
      {"on itself", 1, 7, 2, "0/0/0/0 1/1/7/7 0/0/0/0 "},
      {"the last player", 0, 3, 3, "1/0/3/0 0/0/0/0 0/1/0/3 "},
      {"target 0 names nobody", 0, 9, 0, "0/0/0/0 0/0/0/0 0/0/0/0 "},
      {"target past the players", 0, 9, 4, "0/0/0/0 0/0/0/0 0/0/0/0 "},
      {"a negative target", 0, 9, -1, "0/0/0/0 0/0/0/0 0/0/0/0 "},
      {"a shooter past the table", 3, 9, 1, "0/0/0/0 0/0/0/0 0/0/0/0 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PlayerScore> scores(3);
    score_hit(scores.data(), scores.size(), c.from, c.damage, c.target);
    EXPECT_EQ(describe(scores), c.scores);
  }
}

TEST(Scoreboard, DamageIsSummedBeyondThirtyTwoBits) {
  std::vector<PlayerScore> scores(2);
  for (int i = 0; i < 4; ++i) score_hit(scores.data(), 2, 0, 2000000000, 2);
  EXPECT_EQ(scores[0].damage_dealt, 8000000000);
  EXPECT_EQ(scores[1].damage_taken, 8000000000);
}

TEST(Scoreboard, StandingsGoByHealthThenDamageDealtThenIndex) {
  const struct {
    const char* name;
    std::vector<int32_t> health;
    std::vector<int64_t> dealt;
    std::vector<int32_t> order;
  } cases[] = {
      {"health first", {50, 100, -20}, {0, 0, 90}, {1, 0, 2}},
      {"below zero last", {-1, 0, -100}, {0, 0, 0}, {1, 0, 2}},
      {"then damage dealt", {80, 80, 80}, {5, 30, -2}, {1, 0, 2}},
      {"then the index", {80, 80, 80}, {5, 5, 5}, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int32_t> order(3, -1);
    order_standings(
        order.data(), 3, [&c](size_t p) { return c.health[p]; },
        [&c](size_t p) {
          PlayerScore s;
          s.damage_dealt = c.dealt[p];
          return s;
        });
    EXPECT_EQ(order, c.order);
  }
}

}  // namespace
