#include "server/match_driver.h"

#include <string>

#include "bots/route.h"
#include "console/console.h"
#include "console/texts.h"
#include "data/data_files.h"
#include "net/socket.h"
#include "server/dialogue.h"
#include "server/handshake.h"
#include "server/turn_exchange.h"

namespace {

void start_up(const char* host_name) {
  std::string err;
  if (!socket_startup(&err)) console_diagnostic("%s", err.c_str());
  char address[DOTTED_SIZE];
  err.clear();
  if (!resolve_first_ipv4(host_name, address, &err)) console_diagnostic("%s", err.c_str());
  console_print("%s", WELCOME_BANNER);
  console_print("%s", BANNER_GAP);
  console_print(ADDRESS_LINE, address);
}

void read_bot_routes_or_say_so(Match& match) {
  if (load_bot_routes(match.route_x, match.route_y, match.bot_count) != 1) {
    console_print("%s", ROUTE_ERROR);
  }
}

}  // namespace

int run_turns(Match& match) {
  while (player_count(match) != 0) {
    if (match.turn_count <= 1) ++match.turn_count;
    for (int32_t q = 0; q < match.human_count; ++q) {
      if (turn_exchange(match, q) == ExchangeResult::ProtocolBreak) return EXIT_PROTOCOL_BREAK;
    }
    for (int32_t b = 0; b < match.bot_count; ++b) {
      bot_step(match, b);
      // Without humans the operator paces the bots, one key a step; with the
      // console gone nobody is left to do so, and the match is over.
      if (match.human_count == 0 && !console_wait_key()) {
        console_diagnostic("end of console input: nobody left to pace the bots");
        console_print("%s", END_BANNER);
        return EXIT_MATCH_OVER;
      }
    }
  }
  console_print("%s", END_BANNER);
  return EXIT_MATCH_OVER;
}

int run_server(const char* host_name) {
  // The one match state of the process; the text buffers come with it.
  Match match;
  start_up(host_name);
  if (!run_dialogue(match)) {
    console_diagnostic("end of console input before the three answers were given");
    return EXIT_NO_OPERATOR;
  }
  create_route_tables(match);
  read_bot_routes_or_say_so(match);
  create_client_table(match);
  run_handshake(match);
  // Read again so that route changes made while the clients connected count.
  if (match.bot_count != 0) read_bot_routes_or_say_so(match);
  console_print("%s", START_BANNER);
  set_up_tables(match);
  return run_turns(match);
}
