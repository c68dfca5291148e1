#include "record/line_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console/console.h"
#include "console/files.h"

namespace {

// Why a line that ended with its line feed is not whole, or null when it is.
// text holds its bytes, a final '\r' already taken off.
const char* damage_of(const char* text, size_t length, bool has_nul, bool has_control) {
  if (has_nul) return "holds a NUL byte";
  if (has_control) return "holds a control byte";
  if (length == 0) return "is empty";
  if (text[0] != '{') return "does not start with '{'";
  if (text[length - 1] != '}') return "does not end with '}'";
  return nullptr;
}

// Makes room for `need` bytes of the line (need <= max_line), keeping those held.
void grow(LineReader& reader, size_t need, size_t held) {
  if (need <= reader.capacity) return;
  const size_t capacity =
      std::min(reader.max_line, std::max({need, reader.capacity * 2, static_cast<size_t>(4096)}));
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (held > 0) std::memcpy(bigger.get(), reader.buffer.get(), held);
  reader.buffer = std::move(bigger);
  reader.capacity = capacity;
}

}  // namespace

const char* line_kind_name(LineKind kind) {
  switch (kind) {
    case LineKind::Whole:
      return "whole";
    case LineKind::Damaged:
      return "damaged";
    case LineKind::TooLong:
      return "too long";
    case LineKind::Cut:
      return "cut";
  }
  return "damaged";
}

bool line_reader_open(LineReader& reader, const std::string& path, size_t max_line,
                      std::string* err) {
  // Only a regular file: a FIFO would hold the open, a device read forever.
  const std::string problem = file_problem(path);
  if (!problem.empty()) {
    *err = "cannot read '" + path + "': " + problem;
    return false;
  }
  reader = LineReader{};
  reader.file.reset(std::fopen(path.c_str(), "rb"));
  if (!reader.file) {
    *err = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  // The read-ahead is the only buffer: the stream's own would double it.
  std::setvbuf(reader.file.get(), nullptr, _IONBF, 0);
  reader.path = path;
  reader.max_line = std::max<size_t>(max_line, 1);
  reader.ahead.reset(new char[LINE_READ_AHEAD]);
  return true;
}

bool line_reader_next(LineReader& reader, RecordingLine* line) {
  *line = RecordingLine{};
  line->number = reader.number;
  line->offset = reader.offset;
  reader.error.clear();
  uint64_t length = 0;  // bytes of the line so far, without the line feed
  size_t held = 0;      // of them in the buffer: all while length <= max_line
  bool has_nul = false, has_control = false;
  bool cr_last = false;  // the last byte was a '\r': fine only before the line feed
  bool ended = false;
  while (!ended) {
    if (reader.ahead_at == reader.ahead_end) {
      reader.ahead_at = 0;
      reader.ahead_end = std::fread(reader.ahead.get(), 1, LINE_READ_AHEAD, reader.file.get());
      if (reader.ahead_end == 0) {
        if (std::ferror(reader.file.get()) != 0) {
          reader.error = "cannot read '" + reader.path + "': " + std::strerror(errno);
          std::clearerr(reader.file.get());
          return false;
        }
        if (length == 0) return false;  // the end, after a whole line
        line->kind = LineKind::Cut;
        line->length = length;
        line->why = "ends before its line feed";
        reader.offset += length;
        ++reader.number;
        return true;
      }
    }
    const char* start = reader.ahead.get() + reader.ahead_at;
    const size_t available = reader.ahead_end - reader.ahead_at;
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', available));
    const size_t piece = feed == nullptr ? available : static_cast<size_t>(feed - start);
    for (size_t i = 0; i < piece; ++i) {
      const auto c = static_cast<unsigned char>(start[i]);
      if (cr_last) has_control = true;  // a '\r' inside the line
      cr_last = c == '\r';
      if (c == '\0') {
        has_nul = true;
      } else if ((c < ' ' && c != '\t' && c != '\r') || c == 0x7f) {
        has_control = true;
      }
    }
    if (piece > 0 && length + piece <= reader.max_line) {
      grow(reader, held + piece, held);
      std::memcpy(reader.buffer.get() + held, start, piece);
      held += piece;
    }
    length += piece;
    reader.ahead_at += piece;
    if (feed != nullptr) {
      ++reader.ahead_at;
      ended = true;
    }
  }
  line->length = length;
  reader.offset += length + 1;
  ++reader.number;
  if (length > reader.max_line) {
    line->kind = LineKind::TooLong;
    reader.why = "is longer than " + std::to_string(reader.max_line) + " bytes";
    line->why = reader.why.c_str();
    return true;
  }
  const size_t text_length = cr_last ? held - 1 : held;
  if (const char* why = damage_of(reader.buffer.get(), text_length, has_nul, has_control)) {
    line->kind = LineKind::Damaged;
    line->why = why;
    return true;
  }
  line->text = std::string_view(reader.buffer.get(), text_length);
  return true;
}

bool line_reader_seek(LineReader& reader, uint64_t offset, uint64_t number) {
  reader.ahead_at = reader.ahead_end = 0;
  reader.error.clear();
  std::clearerr(reader.file.get());
  if (!console_seek(reader.file.get(), offset)) {
    reader.error = "cannot seek in '" + reader.path + "'";
    return false;
  }
  reader.offset = offset;
  reader.number = number;
  return true;
}
