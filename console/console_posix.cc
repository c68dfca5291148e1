// POSIX console input. Answers and key presses come from one buffer over
// standard input, so that bytes a pipe delivered together with the last
// answer are still there for the key wait. On a terminal the key wait
// switches to non-canonical mode without echo for the one byte, and puts the
// terminal back even when the server is interrupted meanwhile.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

#include "console/console.h"

const char* const BOT_ROUTE_PATH = "bot.txt";

namespace {

char input[4096];
size_t input_start = 0;
size_t input_end = 0;
int pushed_back = EOF;

termios saved_terminal;
volatile sig_atomic_t terminal_is_raw = 0;

bool fill_input() {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, input, sizeof input);
    if (got > 0) {
      input_start = 0;
      input_end = static_cast<size_t>(got);
      return true;
    }
    if (got == 0 || errno != EINTR) return false;
  }
}

void restore_terminal_and_die(int signal_number) {
  if (terminal_is_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// The signals that end the process from the terminal or from outside get
// the handler above, once; a signal the parent ignored (nohup, a shell's
// background job) stays ignored.
void guard_terminal_against_signals() {
  static bool guarded = false;
  if (guarded) return;
  guarded = true;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction guard {};
    guard.sa_handler = restore_terminal_and_die;
    sigemptyset(&guard.sa_mask);
    sigaction(signal_number, &guard, nullptr);
  }
}

bool read_key_from_terminal() {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return fill_input();
  termios raw = saved_terminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  guard_terminal_against_signals();
  terminal_is_raw = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  char key;
  ssize_t got;
  do {
    got = ::read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  terminal_is_raw = 0;
  // A terminal delivers one key; nothing is kept for later.
  return got == 1;
}

}  // namespace

int console_read_byte() {
  if (pushed_back != EOF) {
    const int byte = pushed_back;
    pushed_back = EOF;
    return byte;
  }
  if (input_start == input_end && !fill_input()) return EOF;
  return static_cast<unsigned char>(input[input_start++]);
}

void console_unread_byte(int byte) {
  pushed_back = byte;
}

bool console_wait_key() {
  if (pushed_back != EOF || input_start != input_end) return console_read_byte() != EOF;
  if (isatty(STDIN_FILENO)) return read_key_from_terminal();
  return console_read_byte() != EOF;
}
