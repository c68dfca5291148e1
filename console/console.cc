#include "console/console.h"

#include <algorithm>
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

// Standard output on a pipe or socket that may fill: -1 until looked at.
std::atomic<int> out_may_fill{-1};
// Texts left out since standard output was last found unread.
std::atomic<uint64_t> out_unshown{0};
// How long a text waits for a reader that has stopped draining the pipe
// before the console counts as unread.
constexpr int OUT_WAIT_MS = 2000;
// A pipe with room takes this much without waiting.
constexpr size_t OUT_PIECE = 4096;

// Whether standard output takes the next piece of text now.
bool room_for_text() {
  int may_fill = out_may_fill.load(std::memory_order_relaxed);
  if (may_fill < 0) {
    may_fill = console_stream_may_fill(stdout) ? 1 : 0;
    out_may_fill.store(may_fill, std::memory_order_relaxed);
  }
  if (may_fill == 0) return true;
  const bool wait = out_unshown.load(std::memory_order_relaxed) == 0 &&
                    stop_why.load(std::memory_order_relaxed) == nullptr;
  if (console_ready_to_write(stdout, wait ? OUT_WAIT_MS : 0)) {
    if (const uint64_t unshown = out_unshown.exchange(0); unshown > 0) {
      log_line(LogLevel::Warning,
               "standard output is read again; %llu console texts were left out meanwhile",
               static_cast<unsigned long long>(unshown));
    }
    return true;
  }
  if (out_unshown.fetch_add(1) == 0) {
    log_line(LogLevel::Warning,
             "standard output is not read: console texts are left out until it is, so that "
             "the match does not wait for it");
  }
  return false;
}

// Writes text to standard output a piece at a time, each once there is room.
void put_text(const char* text, size_t size) {
  for (size_t at = 0; at < size; at += OUT_PIECE) {
    if (!room_for_text()) return;
    std::fwrite(text + at, 1, std::min(OUT_PIECE, size - at), stdout);
    std::fflush(stdout);
  }
}

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
      put_text(text, size);
      line_open.store(text[size - 1] != '\n', std::memory_order_relaxed);
    } else {
      std::string long_text(size + 1, '\0');
      std::vsnprintf(long_text.data(), size + 1, format, again);
      put_text(long_text.data(), size);
      line_open.store(long_text[size - 1] != '\n', std::memory_order_relaxed);
    }
  }
  va_end(again);
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
