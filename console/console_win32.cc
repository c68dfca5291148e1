// Windows console input. Answers come from standard input through the C
// runtime. Key presses come from the console itself through _getch (one key
// without echo and without Enter, as operators of the Windows server know
// it) when standard input is a console; otherwise (a pipe, a file, a service
// or a scheduled task without a console) from standard input like the
// answers, where _getch would return at once and leave the bots unpaced.
#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "console/console.h"

const char* const BOT_ROUTE_PATH = "c:\\bot.txt";

namespace {

int pushed_back = EOF;

bool input_is_console() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace

int console_read_byte() {
  if (pushed_back != EOF) {
    const int c = pushed_back;
    pushed_back = EOF;
    return c;
  }
  return std::getchar();
}

void console_unread_byte(int c) {
  pushed_back = c;
}

bool console_wait_key() {
  if (pushed_back == EOF && input_is_console()) {
    // A console has no end of input: there is always a key to wait for.
    _getch();
    return true;
  }
  return console_read_byte() != EOF;
}
