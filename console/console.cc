#include "console/console.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "console/log.h"

namespace {

volatile std::sig_atomic_t line_open = 0;

}  // namespace

void console_print(const char* format, ...) {
  // Formatted here first, to know how the text ends; the bytes and the one
  // write of the flush are those of printf.
  char text[1024];
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length > 0) {
    const auto size = static_cast<size_t>(length);
    if (size < sizeof text) {
      std::fwrite(text, 1, size, stdout);
      line_open = text[size - 1] != '\n';
    } else {
      std::string long_text(size + 1, '\0');
      std::vsnprintf(long_text.data(), size + 1, format, again);
      std::fwrite(long_text.data(), 1, size, stdout);
      line_open = long_text[size - 1] != '\n';
    }
  }
  va_end(again);
  std::fflush(stdout);
}

bool console_line_is_open() {
  return line_open != 0;
}

void console_line_ended() {
  line_open = 0;
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
