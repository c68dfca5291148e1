#include "console/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "console/log.h"

namespace {

// Read and written by the match thread, the view's (its log lines) and the stop
// handler: a lock-free atomic, safe in all three.
std::atomic<bool> line_open{false};

// The stop asked for, recorded by a handler and seen by the match thread;
// and how many were asked for.
std::atomic<const char*> stop_why{nullptr};
std::atomic<uint32_t> stop_count{0};
// Whether the stop recorded came from a handler (a signal, a console event)
// rather than from the program.
std::atomic<bool> stop_from_system{false};

}  // namespace

void console_record_stop(const char* why) {
  const char* none = nullptr;
  if (stop_why.compare_exchange_strong(none, why)) stop_from_system.store(true);
  stop_count.fetch_add(1);
}

void console_ask_stop(const char* why) {
  stop_from_system.store(false);
  stop_why.store(why);
  if (why != nullptr) stop_count.fetch_add(1);
}

uint32_t console_stops() {
  return stop_count.load();
}

bool console_stop_by_system() {
  return stop_from_system.load();
}

const char* console_stop_asked() {
  return stop_why.load(std::memory_order_relaxed);
}

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
      line_open.store(text[size - 1] != '\n', std::memory_order_relaxed);
    } else {
      std::string long_text(size + 1, '\0');
      std::vsnprintf(long_text.data(), size + 1, format, again);
      std::fwrite(long_text.data(), 1, size, stdout);
      line_open.store(long_text[size - 1] != '\n', std::memory_order_relaxed);
    }
  }
  va_end(again);
  std::fflush(stdout);
}

bool console_line_is_open() {
  return line_open.load(std::memory_order_relaxed);
}

void console_line_ended() {
  line_open.store(false, std::memory_order_relaxed);
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
