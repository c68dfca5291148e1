#include "view/render.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "console/operator_command_table.h"
#include "console/texts.h"
#include "record/end_record.h"
#include "record/record_line.h"
#include "record/scoreboard.h"

namespace {

struct StringOut {
  std::string& text;
  void put(const char* bytes, size_t length) { text.append(bytes, length); }
};

void append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& text, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0)
    text.append(line,
                static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

}  // namespace

std::string state_json(const Frame& frame) {
  std::string text;
  text.reserve(128 + 96 * frame.players.size());
  StringOut out{text};
  write_state_json_open(out, frame.turn, frame.map, frame.relay_a, frame.relay_b, frame.humans,
                        frame.players.size(), [&frame](size_t p) { return frame.players[p]; });
  // Where each human's client stands: the recording has no such member.
  static const char* const SEATS[] = {"playing", "dropped", "rejoined"};
  text += ", \"clients\": [";
  for (size_t q = 0; q < frame.seats.size(); ++q) {
    if (q != 0) text += ", ";
    text += '"';
    text += SEATS[frame.seats[q] < 3 ? frame.seats[q] : 0];
    text += '"';
  }
  text += "]";
  // Present only while it holds, so that a match never paused reads as before.
  if (frame.paused) text += ", \"paused\": true";
  text += ", \"scoreboard\": [";
  for (size_t p = 0; p < frame.scores.size(); ++p) {
    const PlayerScore& score = frame.scores[p];
    append(text,
           "%s{\"hits_made\": %" PRIu64 ", \"hits_taken\": %" PRIu64 ", \"damage_dealt\": %" PRId64
           ", \"damage_taken\": %" PRId64 "}",
           p == 0 ? "" : ", ", score.hits_made, score.hits_taken, score.damage_dealt,
           score.damage_taken);
  }
  text += "]";
  if (frame.named) {
    text += ", \"names\": [";
    for (size_t p = 0; p < frame.names.size(); ++p) {
      if (p != 0) text += ", ";
      if (frame.names[p].empty()) {
        text += "null";
      } else {
        text += '"';
        put_json_text(out, frame.names[p].c_str());
        text += '"';
      }
    }
    text += "]";
  }
  if (frame.ended) {
    text += ", \"end\": ";
    std::vector<int32_t> order(frame.players.size());
    const auto health = [&frame](size_t p) { return frame.players[p].health; };
    const auto score = [&frame](size_t p) { return frame.scores[p]; };
    order_standings(order.data(), order.size(), health, score);
    write_end_json(out, frame.end, order.data(), order.size(), health, score,
                   [&frame](size_t p) { return frame.names[p].c_str(); });
  }
  text += "}";
  return text;
}

std::string lobby_json(const Frame& frame) {
  std::string text;
  append(text,
         "{\"lobby\": {\"humans\": %d, \"bots\": %d, \"map\": %d, \"map_name\": \"%s\", "
         "\"joined\": %d, \"addresses\": [",
         static_cast<int>(frame.humans), static_cast<int>(frame.bots), static_cast<int>(frame.map),
         map_name(frame.map), static_cast<int>(frame.joined));
  for (size_t a = 0; a < frame.addresses.size(); ++a) {
    text += a == 0 ? "\"" : ", \"";
    text += frame.addresses[a];  // dotted IPv4 and a port: nothing to escape
    text += '"';
  }
  text += "]";
  if (!frame.lobby_resuming.empty()) text += ", \"resuming\": " + frame.lobby_resuming;
  text += "}}";
  return text;
}

std::string view_json(const Frame& frame) {
  std::string text = "{\"state\": " + state_json(frame);
  append(text,
         ", \"humans\": %d, \"turns_total\": %" PRIu64 ", \"messages_total\": %" PRIu64
         ", \"round_trip\": [",
         static_cast<int>(frame.humans), frame.turns_total, frame.messages_total);
  for (size_t q = 0; q < frame.round_trip.size(); ++q) {
    if (q != 0) text += ", ";
    if (frame.round_trip[q] < 0) {
      text += "null";
    } else {
      append(text, "%.9f", frame.round_trip[q]);
    }
  }
  text += "], \"waiting\": ";
  if (frame.waiting_player < 0) {
    text += "null";
  } else {
    append(text, "{\"player\": %d, \"seconds\": %.3f}", static_cast<int>(frame.waiting_player),
           frame.waiting_seconds);
  }
  append(text, ", \"map_name\": \"%s\", \"joined\": %d, \"elapsed\": %.3f, \"hits\": [",
         map_name(frame.map), static_cast<int>(frame.joined), frame.elapsed_seconds);
  for (size_t h = 0; h < frame.hits.size(); ++h) {
    const HitFrame& hit = frame.hits[h];
    append(text, "%s{\"turn\": %" PRIu64 ", \"from\": %d, \"damage\": %d, \"target\": %d}",
           h == 0 ? "" : ", ", hit.turn, static_cast<int>(hit.from), static_cast<int>(hit.damage),
           static_cast<int>(hit.target));
  }
  text += "], \"routes\": [";
  for (size_t b = 0; b < frame.routes.size(); ++b) {
    text += b == 0 ? "[" : ", [";
    for (size_t i = 0; i < frame.routes[b].size(); ++i) {
      append(text, "%s%d", i == 0 ? "" : ", ", static_cast<int>(frame.routes[b][i]));
    }
    text += "]";
  }
  text += "]}";
  return text;
}

std::string metrics_text(const Frame& frame) {
  std::string text;
  text +=
      "# HELP zolt_turns_total Turns the match has completed.\n"
      "# TYPE zolt_turns_total counter\n";
  append(text, "zolt_turns_total %" PRIu64 "\n", frame.turns_total);
  text +=
      "# HELP zolt_messages_total Messages of the turn exchanges, both ways.\n"
      "# TYPE zolt_messages_total counter\n";
  append(text, "zolt_messages_total %" PRIu64 "\n", frame.messages_total);
  text +=
      "# HELP zolt_players Players of the match.\n"
      "# TYPE zolt_players gauge\n";
  append(text, "zolt_players{kind=\"human\"} %d\nzolt_players{kind=\"bot\"} %d\n",
         static_cast<int>(frame.humans), static_cast<int>(frame.bots));
  text +=
      "# HELP zolt_client_round_trip_seconds Mean round trip of the client's last exchange.\n"
      "# TYPE zolt_client_round_trip_seconds gauge\n";
  for (size_t q = 0; q < frame.round_trip.size(); ++q) {
    if (frame.round_trip[q] < 0) continue;  // no exchange yet
    append(text, "zolt_client_round_trip_seconds{player=\"%" PRIu64 "\"} %.9f\n",
           static_cast<uint64_t>(q), frame.round_trip[q]);
  }
  text +=
      "# HELP zolt_rejoins_total Clients that took a dropped player's slot (--rejoin).\n"
      "# TYPE zolt_rejoins_total counter\n";
  append(text, "zolt_rejoins_total %" PRIu64 "\n", frame.rejoins);
  size_t dropped = 0;
  for (const uint8_t seat : frame.seats)
    dropped += seat == static_cast<uint8_t>(SeatShown::Dropped);
  text +=
      "# HELP zolt_dropped_players Human players whose client has been dropped.\n"
      "# TYPE zolt_dropped_players gauge\n";
  append(text, "zolt_dropped_players %" PRIu64 "\n", static_cast<uint64_t>(dropped));
  text +=
      "# HELP zolt_waiting_seconds How long the client of the exchange under way has kept "
      "everyone waiting.\n"
      "# TYPE zolt_waiting_seconds gauge\n";
  append(text, "zolt_waiting_seconds %.3f\n", frame.waiting_seconds);
  if (frame.query_on) {
    text +=
        "# HELP zolt_query_datagrams_total Datagrams of the server query (--query), by what "
        "came of them.\n"
        "# TYPE zolt_query_datagrams_total counter\n";
    for (size_t k = 0; k < frame.query.size(); ++k) {
      append(text, "zolt_query_datagrams_total{outcome=\"%s\"} %" PRIu64 "\n", QUERY_OUTCOMES[k],
             frame.query[k]);
    }
  }
  if (!frame.commands_on) return text;
  text +=
      "# HELP zolt_operator_commands_total Operator commands run (console and RCON), by command.\n"
      "# TYPE zolt_operator_commands_total counter\n";
  for (size_t k = 0; k < frame.commands.size(); ++k) {
    append(text, "zolt_operator_commands_total{command=\"%s\"} %" PRIu64 "\n",
           operator_command_label(k), frame.commands[k]);
  }
  text +=
      "# HELP zolt_paused Whether the operator has paused the match.\n"
      "# TYPE zolt_paused gauge\n";
  append(text, "zolt_paused %d\n", frame.paused ? 1 : 0);
  return text;
}
