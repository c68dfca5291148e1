// Decimal integers: the one number form of the match, in messages, in the data
// files and in the operator's answers, and the one writer of their text
// (write_decimal). Every reader here follows the same rules:
// - white space (space, \t \n \v \f \r) before the number is skipped;
// - then one optional sign and the digits, up to the first byte that is not
//   a digit;
// - a number beyond the 32-bit range is held at its nearest end, and the
//   reader says that it was.
// The readers differ only in where the bytes come from and in what the
// caller makes of a number without digits or of the byte after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

inline constexpr int64_t INT32_LOW = std::numeric_limits<int32_t>::min();
inline constexpr int64_t INT32_HIGH = std::numeric_limits<int32_t>::max();

inline bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// The nearest 32-bit value.
inline int32_t saturate_to_int32(int64_t value) {
  return static_cast<int32_t>(value < INT32_LOW    ? INT32_LOW
                              : value > INT32_HIGH ? INT32_HIGH
                                                   : value);
}

struct DecimalRead {
  int32_t value = 0;          // 0 when there are no digits
  bool has_digits = false;    // false: no number here, value is 0
  bool out_of_range = false;  // value was held at the nearest end of the range
  int next = 0;               // the byte after the number (after the sign when no digit followed)
};

// Reads one number from next_byte(), a function returning the next byte as an
// unsigned char value, or a negative value at the end of the input.
template <typename NextByte>
DecimalRead read_decimal(NextByte&& next_byte) {
  DecimalRead read;
  int c;
  do {
    c = next_byte();
  } while (is_space(c));
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = next_byte();
  }
  // The magnitude grows up to one past the largest 32-bit magnitude; further
  // digits cannot bring it back into range.
  constexpr int64_t limit = INT32_HIGH + 1;
  int64_t magnitude = 0;
  for (; is_digit(c); c = next_byte()) {
    read.has_digits = true;
    if (magnitude <= limit) magnitude = magnitude * 10 + (c - '0');
  }
  read.next = c;
  const int64_t value = negative ? -magnitude : magnitude;
  read.value = saturate_to_int32(value);
  read.out_of_range = read.value != value;
  return read;
}

// Writes value's decimal digits into out, at least min_digits of them (zeros
// in front), without a terminator; returns how many. Plain stores only, so
// that a signal handler may use it.
// REQUIRES: out has room for the digits: 20 at most, or min_digits.
inline size_t write_decimal(uint64_t value, char* out, size_t min_digits = 1) {
  char reversed[20];
  size_t digits = 0;
  do {
    reversed[digits++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t length = 0;
  while (length + digits < min_digits) out[length++] = '0';
  while (digits > 0) out[length++] = reversed[--digits];
  return length;
}

// Reads one number from a NUL-terminated text.
inline DecimalRead read_decimal_text(const char* text) {
  return read_decimal(
      [&text]() -> int { return *text == '\0' ? -1 : static_cast<unsigned char>(*text++); });
}
