// Windows console input: answers come from standard input through the C
// runtime, key presses from the console itself through _getch, one key
// without echo and without Enter, as operators of the Windows server know it.
#include <conio.h>

#include <cstdio>

#include "server/console.h"

const char* const BOT_ROUTE_PATH = "c:\\bot.txt";

namespace {
int pushed_back = EOF;
}

int console_read_byte() {
  if (pushed_back != EOF) {
    const int byte = pushed_back;
    pushed_back = EOF;
    return byte;
  }
  return std::getchar();
}

void console_unread_byte(int byte) {
  pushed_back = byte;
}

bool console_wait_key() {
  // _getch has no end of input: the console is always there to type on.
  _getch();
  return true;
}
