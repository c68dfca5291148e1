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

// printf to standard output, flushed. On a pipe or socket that nobody reads
// the text waits a little for room, then is left out, and so are the texts
// after it until there is room again (counted in the log): the match never
// waits for a reader that does not come. On a terminal, a file or a drained
// pipe every byte is written.
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

// Opens the existing file at path to append to it, in binary; null, with
// errno set, when it cannot.
std::FILE* console_open_to_append(const char* path);

// Takes what the stream's file holds on to the disk (the stream flushed
// first by the caller). False, with errno set, when the system cannot.
bool console_sync_file(std::FILE* stream);

// Opens the file at path to read and write in binary, creating it when
// nothing is there and keeping what it holds; null, with errno set, when it
// cannot.
std::FILE* console_open_to_update(const char* path);

// Takes the advisory lock of stream's file for this process, without
// waiting: one server per file. False, with errno set, when another process
// holds it (EWOULDBLOCK) or the system cannot lock it; the lock goes with
// the process.
bool console_lock_file(std::FILE* stream);

// Writes text at byte offset of stream's file with the system's own write,
// bypassing (and not moving) the stream: safe in a signal handler. False,
// with errno set, when not all of it was written.
bool console_write_at(std::FILE* stream, uint64_t offset, const char* text, size_t length);

// Moves stream to byte offset from the start, files beyond 2 GB included.
bool console_seek(std::FILE* stream, uint64_t offset);

// Writes text to stream at once with the system's own write, bypassing the
// stream's buffer: safe in a signal handler. Only for streams that are never
// left holding buffered text (standard output is flushed after every print).
// Returns false, with errno set by the system, when not all of it was written.
bool console_write_now(std::FILE* stream, const char* text, size_t length);

// Records a stop when the operator or the system asks the server to end:
// SIGINT and SIGTERM on POSIX; Ctrl-C, Ctrl-Break and the closing of the
// console window on Windows. The handler only records it (and restores the
// terminal); the match thread sees it with console_stop_asked() at its next
// wake-up and ends the match. Where the match thread may not wake (Windows:
// a console read), the handler calls last_resort(why) after a few seconds;
// it runs where a signal handler runs and must end the process.
void console_on_stop(void (*last_resort)(const char* why));

// The handlers' half, in console.cc: keeps the first stop's why and counts
// every stop. Safe in a signal handler.
void console_record_stop(const char* why);

// The stop asked for ("SIGTERM", "Ctrl-C"...), or null while none was.
const char* console_stop_asked();
// Whether the stop asked for came from the system (a signal, a console
// event) rather than from within the program.
bool console_stop_by_system();
// How many stops have been asked for: one after the first cuts short what
// the end of the match still waits for (the view's stay).
uint32_t console_stops();
// Asks for a stop from within the program, as a signal would (null takes
// the request back).
void console_ask_stop(const char* why);

// While blocked, threads started by this one leave the stop signals to the
// match thread, whose blocking calls they interrupt.
void console_block_stops(bool block);

// Whether a write to stream would not wait now (a pipe with room), waiting
// up to milliseconds for it; a signal ends the wait. Only asked of streams
// that may fill (pipes, sockets).
bool console_ready_to_write(std::FILE* stream, int milliseconds = 0);
bool console_stream_may_fill(std::FILE* stream);

// Whether standard input is a terminal (a console window on Windows).
bool console_input_is_terminal();

// The next byte of the operator's typed answers, or EOF at the end of input.
int console_read_byte();

// Whether console_read_byte would return without waiting (a byte, or the
// end of input), waiting up to `milliseconds` for that: a thread that reads
// the console can so look now and then whether it is to end.
bool console_input_waits(int milliseconds);

// Puts back the last byte read, so the next read or key wait gets it.
void console_unread_byte(int byte);

// Waits for one key press and reads it without echo. Returns false when no
// key can come any more (end of input).
//
// On POSIX, SIGHUP (the terminal has gone) counts as the end of the input
// for the reads above, unless the parent had it ignored.
bool console_wait_key();
