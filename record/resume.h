// Going on with a recorded match after its server died or was restarted
// (--resume): the recording is read once at the start, through the one
// reader of recording lines (record/line_reader.h). The match goes on from
// its last whole turn line; what a crash left after the last whole line (a
// line cut short, a NUL-filled block) is copied aside and cut off, so that
// the file goes on with whole lines. A refused resume leaves the file as it
// found it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "record/last_start.h"
#include "record/recording.h"
#include "record/save.h"
#include "record/scoreboard.h"

// A turn line of a match with a million players is about 100 MB.
inline constexpr size_t RESUME_MAX_LINE = size_t{512} << 20;

struct ResumePoint {
  std::string path;             // the recording read
  bool finished = false;        // its match ended (the end record is its last line)
  bool has_turn = false;        // it holds a whole turn line to go on from
  MatchSave save;               // the last whole turn line's
  std::vector<int32_t> routes;  // the routes of the last line before it naming them
  uint64_t line_number = 0;     // of the save's line, 1-based
  uint64_t whole_bytes = 0;     // the file up to and with its last whole line
  uint64_t file_bytes = 0;
  std::vector<PlayerScore> scores;  // the hits of the turns up to it, counted
  uint64_t lines_left_out = 0;      // after the last whole line
  std::string left_out_why;         // what the first of them was, empty: none
};

// The recording a resume reads: the one the last start's mark names, beside
// path; without a mark, of path and its numbered followers
// (recording_numbered_name) the one written last, since a match that started
// beside a finished one went to the next free name. Empty, with *note saying
// why when a mark names a file that is gone, when none exists.
std::string resume_file(const std::string& path, const LastStart& mark, std::string* note);

// Reads the recording at path. False, with *err naming the file, the line
// and what is wrong, when it cannot be read, its lines are out of order
// (record/save.h, TurnOrder) or damaged before its last whole line, or its
// last whole turn line cannot be gone on from (no save, another version, a
// table of the wrong size, a value the tables cannot hold).
bool read_resume_point(const std::string& path, ResumePoint* point, std::string* err);

// Makes the recording go on in point.path: the bytes after its last whole
// line are copied to a file beside it (path + ".cut", numbered if taken) and
// cut off, and the file is opened to append. The storage is made as
// recording_open makes it, the routes and names as the last line left them,
// so that the next line names only what changed. False with *err when the
// file cannot be written (nothing then was cut).
bool recording_continue(Recording& recording, const ResumePoint& point,
                        std::vector<std::string> name_table, std::string* err);

// The line that marks a restart:
//   {"restart": {"after_turn": T, "at": "YYYY-MM-DDTHH:MM:SSZ"}}
void recording_write_restart(Recording& recording, uint64_t after_turn, std::time_t now);
