// The operator's side of the platform: console text out, answers and key
// presses in, and the place where the operator keeps the bot route file.
// One POSIX implementation (console_posix.cc) and one Windows implementation
// (console_win32.cc).
//
// Everything printed goes to standard output and is flushed at once, so a
// prompt is visible before its answer is read, also on a pipe.
#pragma once

// "c:\bot.txt" on Windows; "bot.txt" in the working directory elsewhere.
extern const char* const BOT_ROUTE_PATH;

// printf to standard output, flushed.
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A diagnostic for whoever watches the server, on standard error: the
// console texts on standard output stay exactly as the operator expects.
void console_diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The next byte of the operator's typed answers, or EOF at the end of input.
int console_read_byte();

// Puts back the last byte read, so the next read or key wait gets it.
void console_unread_byte(int byte);

// Waits for one key press and reads it without echo. Returns false when no
// key can come any more (end of input).
bool console_wait_key();
