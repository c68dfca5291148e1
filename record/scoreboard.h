// The spectators' scoreboard: per player the hits it made and took and the
// damage it dealt and took, counted from the hits the clients report (the
// same ones the match applies to health). It adds no rule to the match:
// health has no floor and nobody leaves the match for it.
//
// A hit on a target that names no player (outside 1..players) changes no
// health, so it counts for nobody. Damage is summed as reported, a negative
// one included, in 64 bits so that no match can wrap it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

struct PlayerScore {
  uint64_t hits_made = 0, hits_taken = 0;
  int64_t damage_dealt = 0, damage_taken = 0;
};

// Counts player `from`'s hit of `damage` on target (player index + 1) into
// scores, a table of `players` rows.
inline void score_hit(PlayerScore* scores, size_t players, int32_t from, int32_t damage,
                      int32_t target) {
  if (from < 0 || static_cast<size_t>(from) >= players) return;
  if (target < 1 || static_cast<size_t>(target) > players) return;
  PlayerScore& shooter = scores[from];
  PlayerScore& victim = scores[target - 1];
  ++shooter.hits_made;
  shooter.damage_dealt += damage;
  ++victim.hits_taken;
  victim.damage_taken += damage;
}

// The final standings: order[0..players) filled with the player indices, the
// highest health first, then the most damage dealt, then the lowest index.
// Sorts in place and allocates nothing, so that the end of a match stopped
// by a signal may use it.
template <class Health, class Score>
void order_standings(int32_t* order, size_t players, Health health, Score score) {
  for (size_t p = 0; p < players; ++p) order[p] = static_cast<int32_t>(p);
  std::sort(order, order + players, [&](int32_t a, int32_t b) {
    const int32_t ha = health(static_cast<size_t>(a)), hb = health(static_cast<size_t>(b));
    if (ha != hb) return ha > hb;
    const int64_t da = score(static_cast<size_t>(a)).damage_dealt,
                  db = score(static_cast<size_t>(b)).damage_dealt;
    if (da != db) return da > db;
    return a < b;
  });
}
