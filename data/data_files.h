// The two text files that feed a match. Both hold decimal integers separated
// by any white space; lines mean nothing. Each integer is read like "%d":
// white space skipped, an optional sign, digits. Once a read fails (end of
// file, or a token that is not a number) it and every later read of the same
// call store nothing, and the entries concerned keep their values. Numbers
// beyond the 32-bit range are taken as the nearest 32-bit value.
//
// - Bot route file (BOT_ROUTE_PATH): per bot, 9 x values then 9 y values.
// - Start position file dept<N>.txt in the working directory (or the
//   --maps-dir folder): human_count x values, then human_count y values.
// When the operator did not say where a file is and the working directory
// lacks it, it is read from the data folder the build set (console/files.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "match/match.h"

// Fills slots 0..8 of rows 0..count-1 of both route tables from file.
// REQUIRES: count <= route_x.size() and route_y.size().
void read_bot_routes(std::FILE* file, std::vector<RouteRow>& route_x,
                     std::vector<RouteRow>& route_y, int32_t count);

// Reads the bot route file at path. Returns 1 when it was opened and read, 0
// when it could not be opened, is not a regular file, or gave a read error.
int load_bot_routes(std::vector<RouteRow>& route_x, std::vector<RouteRow>& route_y, int32_t count,
                    const std::string& path);

// Fills entries 0..count-1 of pos_x and then of pos_y from file.
// REQUIRES: count <= pos_x.size() and pos_y.size().
void read_start_positions(std::FILE* file, std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y,
                          int32_t count);

// "dept" + map number in decimal + ".txt"; the longest is "dept-2147483648.txt".
inline constexpr size_t START_FILE_NAME_SIZE = 20;
void start_position_file_name(int32_t map_number, char (&name)[START_FILE_NAME_SIZE]);

// The path of map_number's start position file: in the folder maps_dir, or,
// when maps_dir is empty, in the working directory, else in fallback_folder
// (empty: none).
std::string start_position_path(int32_t map_number, const std::string& maps_dir,
                                const std::string& fallback_folder);

// Prints the file name on the console (unless quietly: a player placed again
// when it rejoins), then reads the start position file of map_number
// (start_position_path). A file that cannot be opened or is not a regular
// file leaves the positions as they are and is reported on standard error.
void load_start_positions(std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y, int32_t count,
                          int32_t map_number, const std::string& maps_dir,
                          const std::string& fallback_folder, bool quietly = false);

// Why the data file at path cannot be read, or an empty text when it can be
// opened. Opens it and closes it again.
std::string data_file_problem(const std::string& path);
