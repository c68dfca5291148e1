#include "console/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "net/decimal.h"

LogLevel log_threshold = LogLevel::Info;

namespace {

std::FILE* log_stream = stderr;

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Error:
      return "ERROR";
    case LogLevel::Warning:
      return "WARN";
    case LogLevel::Info:
      break;
  }
  return "INFO";
}

// The fields of a time stamp, each of exactly `width` digits.
void put_field(char* out, long long value, size_t width) {
  write_decimal(static_cast<uint64_t>(value), out, width);
}

}  // namespace

bool log_open(const std::string& path, bool quiet, std::string* err) {
  log_threshold = quiet ? LogLevel::Warning : LogLevel::Info;
  if (path.empty()) return true;
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    *err = "cannot open the log file '" + path + "': " + std::strerror(errno);
    return false;
  }
  log_stream = file;
  return true;
}

void format_timestamp(std::time_t time, char* out) {
  // Days to a civil date in the proleptic Gregorian calendar, counted in
  // eras of 400 years so that no library call is needed.
  long long seconds = static_cast<long long>(time);
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long day_of_era = days - era * 146097;
  const long long year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const long long day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long shifted_month = (5 * day_of_year + 2) / 153;
  const long long day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const long long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  // Four digits, as the line's layout has them.
  year = year < 0 ? 0 : year > 9999 ? 9999 : year;
  put_field(out, year, 4);
  out[4] = '-';
  put_field(out + 5, month, 2);
  out[7] = '-';
  put_field(out + 8, day, 2);
  out[10] = 'T';
  put_field(out + 11, rest / 3600, 2);
  out[13] = ':';
  put_field(out + 14, rest / 60 % 60, 2);
  out[16] = ':';
  put_field(out + 17, rest % 60, 2);
  out[19] = 'Z';
  out[20] = '\0';
}

void log_line(LogLevel level, const char* format, ...) {
  if (!log_enabled(level)) return;
  char line[1024];
  format_timestamp(std::time(nullptr), line);
  int length = std::snprintf(line + TIMESTAMP_SIZE - 1, sizeof line - TIMESTAMP_SIZE + 1, " %s ",
                             level_name(level));
  size_t used = TIMESTAMP_SIZE - 1 + static_cast<size_t>(length > 0 ? length : 0);
  va_list args;
  va_start(args, format);
  length = std::vsnprintf(line + used, sizeof line - used, format, args);
  va_end(args);
  if (length > 0) used += static_cast<size_t>(length);
  if (used > sizeof line - 2) used = sizeof line - 2;  // a line cut short still ends
  line[used++] = '\n';
  console_write_now(log_stream, line, used);
}

void log_line_now(const char* text, size_t length) {
  console_write_now(log_stream, text, length);
  console_write_now(log_stream, "\n", 1);
}
