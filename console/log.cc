#include "console/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"

LogLevel log_threshold = LogLevel::Info;

namespace {

std::FILE* log_stream = stderr;
// Whether the log writes where the console does (both on one terminal, for
// instance): then a log line must not continue a console line left open.
bool shares_console = false;

// A line feed first when the log line would continue the console's line.
void end_console_line() {
  if (!shares_console || !console_line_is_open()) return;
  console_write_now(log_stream, "\n", 1);
  console_line_ended();
}

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

void put_digits(char* out, long long value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

bool log_open(const std::string& path, bool quiet, std::string* err) {
  log_threshold = quiet ? LogLevel::Warning : LogLevel::Info;
  if (!path.empty()) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
      *err = "cannot open the log file '" + path + "': " + std::strerror(errno);
      return false;
    }
    log_stream = file;
  }
  shares_console = console_shares_stream(log_stream);
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
  const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  put_digits(out, year, 4);
  out[4] = '-';
  put_digits(out + 5, month, 2);
  out[7] = '-';
  put_digits(out + 8, day, 2);
  out[10] = 'T';
  put_digits(out + 11, rest / 3600, 2);
  out[13] = ':';
  put_digits(out + 14, rest / 60 % 60, 2);
  out[16] = ':';
  put_digits(out + 17, rest % 60, 2);
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
  end_console_line();
  console_write_now(log_stream, line, used);
}

void log_line_now(const char* text, size_t length) {
  end_console_line();
  console_write_now(log_stream, text, length);
  console_write_now(log_stream, "\n", 1);
}
