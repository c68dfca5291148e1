// The end of a match as the spectators see it: why it ended, how long it
// lasted and the final standings. The live view serves it in /view.json and
// /state.json once the match is over, and the recording ends with it as its
// last line, so that a replay shows the same end:
//   {"end": {"reason": "protocol", "why": "player 1 left", "turns": 1500,
//    "seconds": 61.3, "standings": [{"index": 2, "name": "Ann", "health": 93,
//    "hits_made": 4, "hits_taken": 1, "damage_dealt": 40, "damage_taken": 7},
//    ...]}}
// "name" only for a named player; the standings in record/scoreboard.h's order.
// A line that starts with END_LINE_START is no turn.
//
// Written with plain stores and write_decimal only: a match stopped by a
// signal writes it from the handler.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/decimal.h"
#include "record/scoreboard.h"

inline constexpr char END_LINE_START[] = "{\"end\": ";

// Why the match ended, as "reason" names it.
enum class EndReason : uint8_t {
  ProtocolBreak,  // a client left, timed out or broke the protocol
  NoClientLeft,   // every human client was dropped
  Stopped,        // the operator stopped the server
  NoPlayers,      // a match without players
  ConsoleEnded,   // nobody left to pace the bots
};

inline const char* end_reason_name(EndReason reason) {
  switch (reason) {
    case EndReason::ProtocolBreak:
      return "protocol";
    case EndReason::NoClientLeft:
      return "no_client";
    case EndReason::Stopped:
      return "stopped";
    case EndReason::NoPlayers:
      return "no_players";
    case EndReason::ConsoleEnded:
      return "console";
  }
  return "protocol";
}

// The text of a name or a reason inside quotes: bytes that would end or
// escape the string, and control bytes, are left out.
template <class Out>
void put_json_text(Out& out, const char* text) {
  for (; *text != '\0'; ++text) {
    const auto c = static_cast<unsigned char>(*text);
    if (c >= ' ' && c != '"' && c != '\\' && c != 0x7f) out.put(text, 1);
  }
}

template <class Out>
void put_json_int(Out& out, int64_t value) {
  char digits[24];
  size_t length = 0;
  if (value < 0) digits[length++] = '-';
  const uint64_t magnitude =
      value < 0 ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  length += write_decimal(magnitude, digits + length);
  out.put(digits, length);
}

struct MatchEnd {
  EndReason reason = EndReason::ProtocolBreak;
  const char* why = "";  // the log's words for it
  uint64_t turns = 0;    // turns completed
  int64_t tenths = 0;    // how long it lasted, in tenths of a second
};

// The object after END_LINE_START (the line's closing brace is the caller's). order: the standings
// (order_standings); health(p), score(p) and name(p) (null: unnamed) give player p's figures.
template <class Out, class Health, class Score, class Name>
void write_end_json(Out& out, const MatchEnd& end, const int32_t* order, size_t players,
                    Health health, Score score, Name name) {
  const auto put = [&out](const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    out.put(text, length);
  };
  put("{\"reason\": \"");
  put(end_reason_name(end.reason));
  put("\", \"why\": \"");
  put_json_text(out, end.why);
  put("\", \"turns\": ");
  put_json_int(out, static_cast<int64_t>(end.turns));
  put(", \"seconds\": ");
  put_json_int(out, end.tenths / 10);
  char tenth[2] = {'.', static_cast<char>('0' + end.tenths % 10)};
  out.put(tenth, 2);
  put(", \"standings\": [");
  for (size_t k = 0; k < players; ++k) {
    const auto p = static_cast<size_t>(order[k]);
    put(k == 0 ? "{\"index\": " : ", {\"index\": ");
    put_json_int(out, static_cast<int64_t>(p));
    if (const char* named = name(p); named != nullptr && *named != '\0') {
      put(", \"name\": \"");
      put_json_text(out, named);
      put("\"");
    }
    const PlayerScore s = score(p);
    put(", \"health\": ");
    put_json_int(out, health(p));
    put(", \"hits_made\": ");
    put_json_int(out, static_cast<int64_t>(s.hits_made));
    put(", \"hits_taken\": ");
    put_json_int(out, static_cast<int64_t>(s.hits_taken));
    put(", \"damage_dealt\": ");
    put_json_int(out, s.damage_dealt);
    put(", \"damage_taken\": ");
    put_json_int(out, s.damage_taken);
    put("}");
  }
  put("]}");
}
