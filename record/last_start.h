// The last start's mark, FILE.last beside the recording FILE that --record
// names, kept with --resume: which recording the last start played its match
// into, and how far that match went when the recording could not hold it (a
// full disk). A resume goes on with the recording the mark names, whatever
// numbered files lie beside it or were deleted; a server holds the mark's
// lock as long as it runs, so that one server at a time plays a recording.
// It also keeps how long the match has been played in all its starts so
// far, so that a resumed match's end counts the whole match. Its one line:
//   {"recording": "lan1-2.jsonl", "turns_played": T, "seconds": S, "end_lost": false}
// (S in seconds to the millisecond, or null: unknown) is written whole once a
// start knows its recording, and afterwards only rewritten in place with the
// same length (the numbers padded with spaces): a full disk does not keep it
// from saying how far the match went. A mark of an earlier version, without
// "seconds", is read with the time unknown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct LastStart {
  std::FILE* file = nullptr;  // open and locked; null: no mark
  std::string path;           // FILE.last
  std::string recording;      // the name (without folder) the mark names; empty: none
  uint64_t turns_played = 0;  // the turns the mark counts: those the recording may lack
  bool end_lost = false;      // the match ended, its end record is not in the recording
  int64_t played_ms = -1;     // the match's playing time in every start so far; -1: unknown
  std::string line;           // the line as this start writes it
};

// The mark's path for --record record_file.
std::string last_start_path(const std::string& record_file);

// Opens (or creates) the mark of record_file, takes its lock and reads what
// it says. False, with *err naming the file and the system's reason, when
// another server holds the lock or the mark cannot be opened. A line that is
// no mark (another program's, cut short) is read as none, and *note says so.
bool last_start_take(LastStart& mark, const std::string& record_file, std::string* note,
                     std::string* err);

// The start records its match in recording (a path beside record_file): the
// mark names it, with a count of `turns` and no end lost. False, with *err
// naming the mark and the reason, when it cannot be written.
bool last_start_begin(LastStart& mark, const std::string& recording, uint64_t turns,
                      std::string* err);

// Rewrites the mark's count, time (mark.played_ms) and end in place: no
// allocation, one write of the system, so that a signal handler may. False
// when the write failed.
bool last_start_note(LastStart& mark, uint64_t turns_played, bool end_lost);
