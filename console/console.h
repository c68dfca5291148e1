// The operator's side of the platform: console text out, answers and key
// presses in, and the place where the operator keeps the bot route file.
// One POSIX implementation (console_posix.cc) and one Windows implementation
// (console_win32.cc).
//
// Everything printed goes to standard output and is flushed at once, so a
// prompt is visible before its answer is read, also on a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// "c:\bot.txt" on Windows; "bot.txt" in the working directory elsewhere.
extern const char* const BOT_ROUTE_PATH;

// The folder that holds the running program, or an empty text when the
// system does not say.
std::string program_folder();

// printf to standard output, flushed.
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether the console's line is still open: the last text printed did not
// end with a line feed, and neither an answer typed at a terminal nor a log
// line sharing the console has ended it since. Safe in a signal handler.
bool console_line_is_open();
// Notes that the console's line has ended (a typed answer's echo, a log line).
void console_line_ended();

// Whether stream writes where standard output does: the same terminal or
// console, the same file, or (POSIX) the same pipe.
bool console_shares_stream(std::FILE* stream);

// A diagnostic for whoever watches the server, a warning in the operator's
// log (standard error unless a log file was named): the console texts on
// standard output stay exactly as the operator expects.
void console_diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Creates the file at path and opens it for writing in binary; null, with
// errno EEXIST, when anything is there already, so nothing is overwritten.
std::FILE* console_create_file(const char* path);

// Moves stream to byte offset from the start, files beyond 2 GB included.
bool console_seek(std::FILE* stream, uint64_t offset);

// Writes text to stream at once with the system's own write, bypassing the
// stream's buffer: safe in a signal handler. Only for streams that are never
// left holding buffered text (standard output is flushed after every print).
// Returns false, with errno set by the system, when not all of it was written.
bool console_write_now(std::FILE* stream, const char* text, size_t length);

// Has stop(why) called when the operator or the system asks the server to
// end: SIGINT and SIGTERM on POSIX; Ctrl-C, Ctrl-Break and the closing of
// the console window on Windows. why names the request. The terminal is
// restored first. stop runs where a signal handler runs: it may only use
// what is safe there, and it must end the process, or return when another
// thread is about to end it (the one it may have interrupted).
void console_on_stop(void (*stop)(const char* why));

// The next byte of the operator's typed answers, or EOF at the end of input.
int console_read_byte();

// Puts back the last byte read, so the next read or key wait gets it.
void console_unread_byte(int byte);

// Waits for one key press and reads it without echo. Returns false when no
// key can come any more (end of input).
//
// On POSIX, SIGHUP (the terminal has gone) counts as the end of the input
// for the reads above, unless the parent had it ignored.
bool console_wait_key();
