#include "console/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "net/decimal.h"

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

// A log on a pipe or socket whose reader stops reading would hold the
// match in its writes: lines that cannot be written now are counted and
// said once the log drains.
bool may_fill = false;
std::atomic<uint64_t> unwritten{0};

std::string log_path;                // the log file's, for the word below
std::atomic<bool> loss_told{false};  // the log's threads (the match's, the view's) may both fail

// A log file that cannot be written (a full disk, /dev/full) loses its lines
// without a word: standard error gets one, once.
void tell_loss_once(int error) {
  if (log_stream == stderr || loss_told.exchange(true)) return;
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(std::time(nullptr), stamp);
  char line[1024];
  const int length = std::snprintf(line, sizeof line,
                                   "%s ERROR the log file '%s' cannot be written (%s): its lines "
                                   "are lost from here\n",
                                   stamp, log_path.c_str(), std::strerror(error));
  if (length > 0) {
    console_write_now(stderr, line, std::min(static_cast<size_t>(length), sizeof line - 1));
  }
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

// The fields of a time stamp, each of exactly `width` digits.
void put_field(char* out, long long value, size_t width) {
  write_decimal(static_cast<uint64_t>(value), out, width);
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
  log_path = path;
  shares_console = console_shares_stream(log_stream);
  may_fill = console_stream_may_fill(log_stream);
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

size_t escape_bytes(const char* bytes, size_t length, bool quoted, char* out) {
  constexpr char hex[] = "0123456789abcdef";
  size_t n = 0;
  if (quoted) out[n++] = '"';
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (quoted && (c == '"' || c == '\\')) {
      out[n++] = '\\';
      out[n++] = static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '\\';
      out[n++] = 'x';
      out[n++] = hex[c >> 4];
      out[n++] = hex[c & 15];
    }
  }
  if (quoted) out[n++] = '"';
  out[n] = '\0';
  return n;
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
  if (may_fill) {
    if (!console_ready_to_write(log_stream)) {
      unwritten.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (const uint64_t lost = unwritten.exchange(0); lost > 0) {
      char note[160];
      format_timestamp(std::time(nullptr), note);
      const int note_length =
          std::snprintf(note + TIMESTAMP_SIZE - 1, sizeof note - TIMESTAMP_SIZE + 1,
                        " WARN %llu log lines were lost: the log's reader did not "
                        "read them in time\n",
                        static_cast<unsigned long long>(lost));
      if (note_length > 0) {
        console_write_now(log_stream, note, TIMESTAMP_SIZE - 1 + static_cast<size_t>(note_length));
      }
    }
  }
  end_console_line();
  if (!console_write_now(log_stream, line, used)) tell_loss_once(errno);
}

void log_line_now(const char* text, size_t length) {
  end_console_line();
  console_write_now(log_stream, text, length);
  console_write_now(log_stream, "\n", 1);
}
