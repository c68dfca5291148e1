#include "console/console.h"

#include <cstdarg>
#include <cstdio>

void console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void console_diagnostic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("zolt-server: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::fflush(stderr);
}
