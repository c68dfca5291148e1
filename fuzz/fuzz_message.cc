// Integer message text: parse_int on any received text, checked against the
// C library's strtoll held to 32 bits (the same atoi rules, saturating), and
// format_int/parse_int on any value, checked against printf's "%d".
//
// Input: the message text as received, any bytes (parsing stops at the first
// NUL, as it does on the received buffer). Its first four bytes, little-
// endian, are also the value of the round trip.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/message.h"

namespace {

int32_t reference_parse(const char* text) {
  const long long wide = std::strtoll(text, nullptr, 10);
  if (wide < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  if (wide > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t parsed = parse_int(text.c_str());
  const int32_t expected = reference_parse(text.c_str());
  FUZZ_REQUIRE(parsed == expected, "parse_int gave %" PRId32 ", strtoll %" PRId32, parsed,
               expected);

  FuzzInput input(data, size);
  const int32_t value = input.take_int32();
  char formatted[MESSAGE_MAX_DIGITS + 1];
  const size_t length = format_int(value, formatted);
  char printed[32];
  std::snprintf(printed, sizeof printed, "%" PRId32, value);
  FUZZ_REQUIRE(length <= MESSAGE_MAX_DIGITS && length == std::strlen(formatted),
               "length %zu for %" PRId32, length, value);
  FUZZ_REQUIRE(std::strcmp(formatted, printed) == 0, "format_int gave '%s' for %s", formatted,
               printed);
  FUZZ_REQUIRE(parse_int(formatted) == value, "'%s' does not parse back", formatted);
  return 0;
}
