// The names the operator gives players (--names by index, --address-names by
// the client's address), for the log, the live view and the recording.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/options.h"

// Every name the options give, in one table: --names' first, then
// --address-names'. player_name_id picks from it.
std::vector<std::string> player_name_table(const Options& options);

// The table entry that names player `index` whose client connects from peer
// ("a.b.c.d" or "a.b.c.d:port"; empty for a bot or a human not joined yet):
// the name for that address first, since it follows the person from seat to
// seat, else the name for the index; -1 when neither names the player.
int32_t player_name_id(const Options& options, int32_t index, const std::string& peer);

// Player index's name as player_name_id finds it; empty when unnamed.
std::string player_name(const Options& options, int32_t index, const std::string& peer);
