#include "console/console.h"

#include <cstdarg>
#include <cstdio>

#include "console/log.h"

void console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void console_diagnostic(const char* format, ...) {
  if (!log_enabled(LogLevel::Warning)) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_line(LogLevel::Warning, "%s", text);
}
