// Windows console input. Answers come from standard input through the C
// runtime. Key presses come from the console itself through _getch (one key
// without echo and without Enter, as operators of the Windows server know
// it) when standard input is a console; otherwise (a pipe, a file, a service
// or a scheduled task without a console) from standard input like the
// answers, where _getch would return at once and leave the bots unpaced.
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "console/console.h"

const char* const BOT_ROUTE_PATH = "c:\\bot.txt";

std::string program_folder() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  // A path cut short fills the whole buffer: its folder cannot be trusted.
  if (length == 0 || length >= sizeof path) return {};
  std::string folder(path, length);
  const size_t separator = folder.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : folder.substr(0, separator);
}

namespace {

int pushed_back = EOF;
void (*last_resort)(const char* why) = nullptr;

// The match thread sees a stop within a second while it waits for clients;
// a console read may not end on a Ctrl-C. After this long the handler ends
// the process itself.
constexpr DWORD STOP_GRACE_MS = 3000;

// Runs on a thread of its own that Windows starts for the event. It records
// the stop for the match thread, and waits for it to end the process, as
// Windows ends the process once the handler of a closing console returns.
BOOL WINAPI stop_on_console_event(DWORD event) {
  const char* why = nullptr;
  switch (event) {
    case CTRL_C_EVENT:
      why = "Ctrl-C";
      break;
    case CTRL_BREAK_EVENT:
      why = "Ctrl-Break";
      break;
    case CTRL_CLOSE_EVENT:
      why = "the console window closing";
      break;
    default:
      return FALSE;
  }
  console_record_stop(why);
  Sleep(STOP_GRACE_MS);
  last_resort(console_stop_asked());
  return TRUE;
}

bool input_is_console() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace

bool console_input_is_terminal() {
  return GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR;
}

int console_read_byte() {
  if (pushed_back != EOF) {
    const int c = pushed_back;
    pushed_back = EOF;
    return c;
  }
  const int c = std::getchar();
  // The console echoes the answer's Enter: the console's line has ended.
  static const bool echoed = input_is_console();
  if (c == '\n' && echoed) console_line_ended();
  return c;
}

bool console_input_waits(int milliseconds) {
  // What the C runtime has read ahead (the dialogue's answers came with
  // more lines) is there at once.
  if (pushed_back != EOF || stdin->_cnt > 0) return true;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  switch (GetFileType(input)) {
    case FILE_TYPE_PIPE: {
      // A pipe cannot be waited on: looked at every few milliseconds.
      const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
      for (;;) {
        DWORD available = 0;
        // A pipe whose writer has gone fails here: the read gives the end.
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
          return true;
        }
        if (GetTickCount64() >= until) return false;
        Sleep(10);
      }
    }
    case FILE_TYPE_CHAR: {
      // A console's read waits for the line's end: a line is there once
      // its Enter is among the events the console keeps for the next read
      // (a key, a click or a focus change signals the console alike).
      const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
      for (;;) {
        INPUT_RECORD records[128];
        DWORD count = 0;
        if (!PeekConsoleInputW(input, records, 128, &count)) return true;
        for (DWORD i = 0; i < count; ++i) {
          const INPUT_RECORD& record = records[i];
          if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
              record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN) {
            return true;
          }
        }
        if (GetTickCount64() >= until) return false;
        Sleep(10);
      }
    }
    default:
      return true;  // a file reads at once
  }
}

std::FILE* console_create_file(const char* path) {
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

std::FILE* console_open_to_append(const char* path) {
  const int fd = _open(path, _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "ab");
  if (file == nullptr) _close(fd);
  return file;
}

bool console_sync_file(std::FILE* stream) {
  return _commit(_fileno(stream)) == 0;
}

std::FILE* console_open_to_update(const char* path) {
  const int fd = _open(path, _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "r+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool console_lock_file(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  // A byte far beyond any content: Windows locks keep other processes from
  // the bytes they cover, and the file's own bytes must stay readable.
  OVERLAPPED far_away{};
  far_away.OffsetHigh = 0x7fffffff;
  if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_away)) {
    return true;
  }
  errno = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EACCES;
  return false;
}

bool console_write_at(std::FILE* stream, uint64_t offset, const char* text, size_t length) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  while (length > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = length > 65536 ? 65536 : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(handle, text, chunk, &written, &at) || written == 0) {
      errno = EIO;
      return false;
    }
    text += written;
    offset += written;
    length -= written;
  }
  return true;
}

bool console_seek(std::FILE* stream, uint64_t offset) {
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool console_shares_stream(std::FILE* stream) {
  const auto out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  const auto other = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode;
  // A process has one console at most.
  if (GetConsoleMode(out, &mode) && GetConsoleMode(other, &mode)) return true;
  BY_HANDLE_FILE_INFORMATION a, b;
  return GetFileType(out) == FILE_TYPE_DISK && GetFileType(other) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(out, &a) && GetFileInformationByHandle(other, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

void console_unread_byte(int c) {
  pushed_back = c;
}

bool console_write_now(std::FILE* stream, const char* text, size_t length) {
  const int fd = _fileno(stream);
  while (length > 0) {
    const int chunk = length > 65536 ? 65536 : static_cast<int>(length);
    const int written = _write(fd, text, static_cast<unsigned>(chunk));
    if (written <= 0) return false;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

void console_on_stop(void (*stop)(const char* why)) {
  last_resort = stop;
  SetConsoleCtrlHandler(stop_on_console_event, TRUE);
}

// Console events come on threads of their own: nothing to block.
void console_block_stops(bool) {}

// Writes to a pipe nobody reads are rare here; the log writes as always.
bool console_ready_to_write(std::FILE*, int) {
  return true;
}

bool console_stream_may_fill(std::FILE*) {
  return false;
}

bool console_wait_key() {
  if (pushed_back == EOF && input_is_console()) {
    // A console has no end of input: there is always a key to wait for.
    _getch();
    return true;
  }
  return console_read_byte() != EOF;
}
