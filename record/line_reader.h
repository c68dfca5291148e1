// The one reader of a recording's lines, for the resume and for --replay:
// it reads the file in order, one line at a time, and tells a whole line
// from what a crash or a power cut leaves (a NUL-filled block, a line cut
// short, a line that never ended). Its memory is one buffer of at most
// max_line bytes whatever the file holds: a longer line is read past in
// chunks and reported as too long, never held.
//
// Every line counts in the numbering, damaged ones too, so that a damaged
// line is one line, named by its number, and its neighbours keep theirs.
//   Whole    ends with a line feed, at most max_line bytes, no NUL and no
//            other control byte but tab, starts with '{' and ends with '}'
//            (a "\r\n" ending is Whole without its '\r' if the rest is)
//   Damaged  ends with a line feed but fails one of those
//   TooLong  longer than max_line, whatever it holds
//   Cut      the file ends before its line feed (what a kill leaves)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

enum class LineKind : uint8_t { Whole, Damaged, TooLong, Cut };

struct RecordingLine {
  uint64_t number = 0;  // 0-based, counting every line of the file, damaged ones too
  uint64_t offset = 0;  // of its first byte
  uint64_t length = 0;  // its bytes, without the line feed
  LineKind kind = LineKind::Whole;
  std::string_view text;  // Whole: the line without its line feed; else empty
  const char* why =
      "";  // Damaged/TooLong/Cut: what is wrong, for a log line ("holds a NUL byte", ...)
};

// The read-ahead a reader fills from its file: the file's own buffer is
// turned off, so that a reader holds this and its line, nothing more.
inline constexpr size_t LINE_READ_AHEAD = 64 * 1024;

struct LineReader {
  struct Closer {
    void operator()(std::FILE* open_file) const { std::fclose(open_file); }
  };
  std::string path;
  std::unique_ptr<std::FILE, Closer> file;
  size_t max_line = 0;
  // The line being read, valid until the next call: grown as lines need
  // it, never past max_line bytes.
  std::unique_ptr<char[]> buffer;
  size_t capacity = 0;
  std::unique_ptr<char[]> ahead;  // LINE_READ_AHEAD bytes
  size_t ahead_at = 0, ahead_end = 0;
  uint64_t offset = 0;  // of the next line
  uint64_t number = 0;  // of the next line
  std::string error;    // why the last read failed, empty: it did not
  std::string why;      // a too long line's why
};

// Opens path for reading lines of at most max_line bytes; false and *err (naming the path and why)
// otherwise.
bool line_reader_open(LineReader& reader, const std::string& path, size_t max_line,
                      std::string* err);
// The next line, false at the end of the file (reader.error set on a read error, with why).
bool line_reader_next(LineReader& reader, RecordingLine* line);
// Go on reading at byte offset, which starts line `number`.
bool line_reader_seek(LineReader& reader, uint64_t offset, uint64_t number);

// The kind's name in a log line or an answer: "whole", "damaged", "too long", "cut".
const char* line_kind_name(LineKind kind);
