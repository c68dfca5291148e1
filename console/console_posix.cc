// POSIX console input. Answers and key presses come from one buffer over
// standard input, so that bytes a pipe delivered together with the last
// answer are still there for the key wait. On a terminal the key wait
// switches to non-canonical mode without echo for the one byte, and puts the
// terminal back even when the server is interrupted meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

#include "console/console.h"

const char* const BOT_ROUTE_PATH = "bot.txt";

std::string program_folder() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return {};
  std::string folder(path, static_cast<size_t>(length));
  const size_t slash = folder.rfind('/');
  return slash == std::string::npos ? std::string() : folder.substr(0, slash == 0 ? 1 : slash);
}

namespace {

char input[4096];
size_t input_start = 0;
size_t input_end = 0;
int pushed_back = EOF;

termios saved_terminal;
volatile sig_atomic_t terminal_is_raw = 0;
volatile sig_atomic_t hung_up = 0;
// The stop the operator or the system asked for: recorded by the handler,
// seen by the match thread at its next wake-up.
bool stop_handled = false;

bool fill_input() {
  for (;;) {
    if (hung_up) return false;
    const ssize_t got = ::read(STDIN_FILENO, input, sizeof input);
    if (got > 0) {
      input_start = 0;
      input_end = static_cast<size_t>(got);
      return true;
    }
    if (got == 0 || errno != EINTR || console_stop_asked() != nullptr) return false;
  }
}

void restore_terminal() {
  if (terminal_is_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

void restore_terminal_and_die(int signal_number) {
  restore_terminal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Only records: the match thread ends the match. The read under way, if
// any, is interrupted (no SA_RESTART).
void stop_on_signal(int signal_number) {
  restore_terminal();
  console_record_stop(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
}

// The console's reads see the end of their input from now on; the read
// under way, if any, is interrupted (no SA_RESTART).
void note_hang_up(int) {
  hung_up = 1;
}

// Installs handler for signal_number, unless the parent had the signal
// ignored (nohup, a shell's background job): then it stays ignored.
void handle_signal(int signal_number, void (*handler)(int), int flags = 0) {
  struct sigaction current {};
  if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

// SIGQUIT ends the process with its core dump as always, but not with the
// terminal left without echo.
void guard_terminal_against_quit() {
  static bool guarded = false;
  if (guarded) return;
  guarded = true;
  handle_signal(SIGQUIT, restore_terminal_and_die);
  // Without a stop handler, the other signals that end the process must
  // restore the terminal too.
  if (!stop_handled) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
      handle_signal(signal_number, restore_terminal_and_die);
    }
  }
}

bool read_key_from_terminal() {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return fill_input();
  termios raw = saved_terminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  guard_terminal_against_quit();
  terminal_is_raw = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  char key;
  ssize_t got;
  do {
    got = hung_up ? 0 : ::read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR && console_stop_asked() == nullptr);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  terminal_is_raw = 0;
  // A terminal delivers one key; nothing is kept for later.
  return got == 1;
}

}  // namespace

bool console_input_is_terminal() {
  return isatty(STDIN_FILENO) != 0;
}

int console_read_byte() {
  if (pushed_back != EOF) {
    const int byte = pushed_back;
    pushed_back = EOF;
    return byte;
  }
  if (input_start == input_end && !fill_input()) return EOF;
  const char byte = input[input_start++];
  // A terminal echoes the answer's Enter: the console's line has ended.
  static const bool echoed = isatty(STDIN_FILENO) != 0;
  if (byte == '\n' && echoed) console_line_ended();
  return static_cast<unsigned char>(byte);
}

bool console_input_waits(int milliseconds) {
  if (pushed_back != EOF || input_start != input_end) return true;
  pollfd input_fd{STDIN_FILENO, POLLIN, 0};
  // Readable, hung up or closed: the read returns at once. A signal that
  // broke the wait: not yet.
  return ::poll(&input_fd, 1, milliseconds) > 0;
}

std::FILE* console_create_file(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

std::FILE* console_open_to_append(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "ab");
  if (file == nullptr) ::close(fd);
  return file;
}

bool console_sync_file(std::FILE* stream) {
  return ::fsync(fileno(stream)) == 0;
}

std::FILE* console_open_to_update(const char* path) {
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "r+b");
  if (file == nullptr) ::close(fd);
  return file;
}

bool console_lock_file(std::FILE* stream) {
  return ::flock(fileno(stream), LOCK_EX | LOCK_NB) == 0;
}

bool console_write_at(std::FILE* stream, uint64_t offset, const char* text, size_t length) {
  const int fd = fileno(stream);
  while (length > 0) {
    const ssize_t written = ::pwrite(fd, text, length, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text += written;
    offset += static_cast<uint64_t>(written);
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool console_seek(std::FILE* stream, uint64_t offset) {
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool console_shares_stream(std::FILE* stream) {
  struct stat out {
  }, other{};
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(fileno(stream), &other) == 0 &&
         out.st_dev == other.st_dev && out.st_ino == other.st_ino;
}

void console_unread_byte(int byte) {
  pushed_back = byte;
}

bool console_write_now(std::FILE* stream, const char* text, size_t length) {
  const int fd = fileno(stream);
  while (length > 0) {
    const ssize_t written = ::write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

void console_on_stop(void (*)(const char* why)) {
  // Every blocking call of the match thread wakes at least every second, or
  // is interrupted: the match thread always sees the stop, so the last
  // resort is never needed here.
  stop_handled = true;
  handle_signal(SIGINT, stop_on_signal);
  handle_signal(SIGTERM, stop_on_signal);
  handle_signal(SIGHUP, note_hang_up);
}

void console_block_stops(bool block) {
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal_number);
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &stops, nullptr);
}

bool console_ready_to_write(std::FILE* stream, int milliseconds) {
  pollfd wait{fileno(stream), POLLOUT, 0};
  return ::poll(&wait, 1, milliseconds) > 0;
}

bool console_stream_may_fill(std::FILE* stream) {
  struct stat status {};
  return fstat(fileno(stream), &status) == 0 &&
         (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

bool console_wait_key() {
  if (pushed_back != EOF || input_start != input_end) return console_read_byte() != EOF;
  if (isatty(STDIN_FILENO)) return read_key_from_terminal();
  return console_read_byte() != EOF;
}
