#include "match/match.h"

void create_route_tables(Match& match) {
  const auto bots = static_cast<size_t>(match.bot_count);
  match.route_x.assign(bots, RouteRow{});
  match.route_y.assign(bots, RouteRow{});
}

void create_client_table(Match& match) {
  match.client_socket.assign(static_cast<size_t>(match.human_count), INVALID_SOCKET_HANDLE);
}

void set_up_tables(Match& match) {
  const int32_t players = player_count(match);
  const auto bots = static_cast<size_t>(match.bot_count);
  match.pos_x.assign(static_cast<size_t>(players), 0);
  match.pos_y.assign(static_cast<size_t>(players), 0);
  match.heading.assign(static_cast<size_t>(players), INITIAL_HEADING);
  match.health.assign(static_cast<size_t>(players), INITIAL_HEALTH);
  match.waypoint_index.assign(bots, 0);
  match.trim_request.assign(bots, 0);
  match.bot_target.assign(bots, 0);
  match.bot_segment.assign(bots, Segment{});
  for (size_t b = 0; b < bots; ++b) {
    const size_t p = static_cast<size_t>(match.human_count) + b;
    match.waypoint_index[b] = 0;
    match.pos_x[p] = match.route_x[b][0];
    match.pos_y[p] = match.route_y[b][0];
  }
  match.turn_count = 0;
}
