#include "server/dialogue.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "server/console.h"

namespace {

const char* const HUMANS_PROMPT = "\n\nTaper le nombre de joueurs humains : ";
const char* const BOTS_PROMPT = "\nTaper le nombre de joueurs CPU : ";
const char* const MAP_LIST =
    "\n\n*******Maps Disponibles********"
    "\n  map 0 : Torvallind level 0 "
    "\n  map 1 : Vevoder            "
    "\n  map 2 : Zovezivadi Zavo    "
    "\n  map 3 : Ved Oravo vo dizav "
    "\n  map 4 : Rovudazizado       "
    "\n*******************************";
const char* const MAP_PROMPT = "\n\nTaper le numero de la map : ";

const char* const NOT_AN_INTEGER = "\n----- Erreur : tapez un nombre entier. -----";
const char* const OUT_OF_RANGE = "\n----- Erreur : nombre hors limites. -----";
const char* const NEGATIVE_COUNT = "\n----- Erreur : le nombre ne peut pas etre negatif. -----";
const char* const TOO_MANY_PLAYERS = "\n----- Erreur : pas plus de %d joueurs en tout. -----";

enum class Answer { Integer, NotAnInteger, OutOfRange, EndOfInput };

bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Drops the rest of a line the operator got wrong, so that one bad line
// gives one message.
void skip_line() {
  int c;
  do {
    c = console_read_byte();
  } while (c != EOF && c != '\n');
}

// Takes the line end right behind an answer: it closes the answer and is not
// a key press for the bot steps that may follow.
void take_line_end() {
  int c = console_read_byte();
  if (c == '\r') c = console_read_byte();
  if (c != '\n' && c != EOF) console_unread_byte(c);
}

// Reads one white-space separated word and converts it as a whole: an
// optional sign and decimal digits, nothing else.
Answer read_integer(int32_t* value) {
  int c;
  do {
    c = console_read_byte();
  } while (is_space(c));
  if (c == EOF) return Answer::EndOfInput;

  bool negative = false;
  bool any_digit = false;
  bool well_formed = true;
  int64_t magnitude = 0;
  constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = console_read_byte();
  }
  for (; c != EOF && !is_space(c); c = console_read_byte()) {
    if (c < '0' || c > '9') {
      well_formed = false;
      continue;
    }
    any_digit = true;
    if (magnitude <= limit) magnitude = magnitude * 10 + (c - '0');
  }
  if (c != EOF) console_unread_byte(c);
  if (!well_formed || !any_digit) {
    skip_line();
    return Answer::NotAnInteger;
  }
  if (magnitude > limit || (magnitude == limit && !negative)) {
    skip_line();
    return Answer::OutOfRange;
  }
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  take_line_end();
  return Answer::Integer;
}

// Asks until a whole 32-bit integer no smaller than min and no larger than max
// is typed.
bool ask(const char* prompt, int32_t min, int32_t max, int32_t* value) {
  for (;;) {
    console_print("%s", prompt);
    switch (read_integer(value)) {
      case Answer::EndOfInput:
        return false;
      case Answer::NotAnInteger:
        console_print("%s", NOT_AN_INTEGER);
        continue;
      case Answer::OutOfRange:
        console_print("%s", OUT_OF_RANGE);
        continue;
      case Answer::Integer:
        break;
    }
    if (*value < min) {
      console_print("%s", NEGATIVE_COUNT);
    } else if (*value > max) {
      console_print(TOO_MANY_PLAYERS, MAX_PLAYERS);
    } else {
      return true;
    }
  }
}

}  // namespace

bool run_dialogue(Match& match) {
  constexpr int32_t any_min = std::numeric_limits<int32_t>::min();
  constexpr int32_t any_max = std::numeric_limits<int32_t>::max();
  if (!ask(HUMANS_PROMPT, 0, MAX_PLAYERS, &match.human_count)) return false;
  if (!ask(BOTS_PROMPT, 0, MAX_PLAYERS - match.human_count, &match.bot_count)) return false;
  console_print("%s", MAP_LIST);
  return ask(MAP_PROMPT, any_min, any_max, &match.map_number);
}
