#include "server/dialogue.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "console/console.h"
#include "console/texts.h"
#include "net/decimal.h"

namespace {

enum class Answer { Integer, NotAnInteger, OutOfRange, EndOfInput };

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

// Reads one white-space separated word and takes it as a whole: an optional
// sign and decimal digits, nothing else.
Answer read_integer(int32_t* value) {
  int c;
  do {
    c = console_read_byte();
  } while (is_space(c));
  if (c == EOF) return Answer::EndOfInput;
  console_unread_byte(c);

  const DecimalRead read = read_decimal(console_read_byte);
  bool well_formed = read.has_digits;
  for (c = read.next; c != EOF && !is_space(c); c = console_read_byte()) well_formed = false;
  if (c != EOF) console_unread_byte(c);
  if (!well_formed) {
    skip_line();
    return Answer::NotAnInteger;
  }
  if (read.out_of_range) {
    skip_line();
    return Answer::OutOfRange;
  }
  *value = read.value;
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

bool run_dialogue(Match& match, const Options& options) {
  constexpr int32_t any_min = std::numeric_limits<int32_t>::min();
  constexpr int32_t any_max = std::numeric_limits<int32_t>::max();
  if (options.humans) {
    match.human_count = *options.humans;
  } else if (!ask(HUMANS_PROMPT, 0, MAX_PLAYERS - options.bots.value_or(0), &match.human_count)) {
    return false;
  }
  if (options.bots) {
    match.bot_count = *options.bots;
  } else if (!ask(BOTS_PROMPT, 0, MAX_PLAYERS - match.human_count, &match.bot_count)) {
    return false;
  }
  if (options.map) {
    match.map_number = *options.map;
    return true;
  }
  console_print("%s", MAP_LIST);
  return ask(MAP_PROMPT, any_min, any_max, &match.map_number);
}
