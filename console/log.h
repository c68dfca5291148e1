// The operator's log: one line per event, for people and for grep:
//   2026-12-07T23:46:23Z INFO player 1 joined from 192.168.1.20:50112
// The time is UTC, to the second. Lines go to standard error unless the
// operator names a file; each is written whole and at once. Where the log and
// the console write to the same place (a terminal, say) and the console's
// line is open, a log line starts on a line of its own. A line whose
// level is off costs one compare: nothing is formatted.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

enum class LogLevel { Error, Warning, Info };

// Sends the log to the file at path (appended to), or to standard error when
// path is empty; with quiet, only warnings and errors. Returns false and
// fills *err when the file cannot be opened (the log stays on standard error).
bool log_open(const std::string& path, bool quiet, std::string* err);

extern LogLevel log_threshold;

inline bool log_enabled(LogLevel level) {
  return level <= log_threshold;
}

// One line of the log, printf style, without its line end.
void log_line(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes an already formatted line (without its line end) at once, with no
// buffer and no lock: safe in a signal handler. The level is not checked.
void log_line_now(const char* text, size_t length);

// Bytes from outside (a client's message, a config file's line) as the log
// and the messages show them: printable ASCII as it is, any other byte as
// \xNN. With quoted, within quotes, and the quote and the backslash as \"
// and \\. Writes a terminator; returns the length without it.
// REQUIRES: out holds 4 x length + 3 bytes.
size_t escape_bytes(const char* bytes, size_t length, bool quoted, char* out);

// "YYYY-MM-DDTHH:MM:SSZ" of time, then a terminator; out must hold
// TIMESTAMP_SIZE bytes. Pure arithmetic, so a signal handler may use it.
inline constexpr size_t TIMESTAMP_SIZE = 21;
void format_timestamp(std::time_t time, char* out);
