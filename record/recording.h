// The recording of a match (--record FILE): after every turn one line
// (record/record_line.h) with the tables as the turn left them and the hits
// reported during it. It is written on the match thread: once the storage is
// made nothing allocates, and the first write that fails is logged and ends
// the recording, never the match. With --resume the recording is the match's
// only memory: a write that fails is tried again every turn instead (the
// last turn's line holds all a resume needs), and the last start's mark
// (record/last_start.h) counts the turns the file lacks meanwhile.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "console/console.h"
#include "match/match.h"
#include "record/end_record.h"
#include "record/last_start.h"
#include "record/record_line.h"

// How far a turn's line is taken before the next turn starts: to the
// operating system (it survives any death of the process), or on to the
// disk every turn or at most every second (it survives a power cut but for
// that much).
enum class RecordSync : uint8_t { System, Second, Turn };

struct Recording {
  std::FILE* file = nullptr;  // null: not recording, or a write failed
  std::string path;
  std::vector<char> buffer;  // the file's, so that a turn's first write allocates none
  std::vector<Hit> hits;     // this turn's, at most one per human
  size_t hit_count = 0;
  // The routes as the last line had them and as they are now, per bot its
  // 9 x and then its 9 y.
  std::vector<int32_t> routes, routes_now;
  bool first_line = true;
  // The operator's names (server/player_names.h), and per player the one it
  // has now and the one the last line named (-1: none). Empty without names.
  std::vector<std::string> name_table;
  std::vector<int32_t> name_ids, name_ids_written;
  // Per human, the address its client came from, for a resume to give the
  // slot back to it first; empty: none.
  std::vector<std::array<char, 16>> peers;
  RecordSync sync = RecordSync::System;
  std::chrono::steady_clock::time_point last_sync{};
  bool sync_failed = false;
  bool unsynced = false;  // a line written since the last sync
  // With --resume: the mark that says how far the match went, and how long
  // it has been played (its played_ms, set before each turn's line and the
  // end); null: a failed write ends the recording.
  LastStart* last = nullptr;
  uint64_t whole_bytes = 0;        // the file up to and with its last whole line
  uint64_t last_turn_written = 0;  // the turn of the file's last turn line
  // Lines could not be written: the file is closed, cut back to whole_bytes,
  // and the next turn tries again.
  bool behind = false;
  bool name_again = false;  // the next line names the routes and names, as a lost one may have
};

// Creates the recording's file and makes the storage for a match of
// `humans` human players and `bots` bots. The file's name is path with its
// time placeholders filled in (recording_name); a file of that name is never
// overwritten: the first free numbered name is taken instead (and logged).
// Returns false and fills *err, naming the path and the reason, when path
// holds an unknown placeholder, a name is taken by something other than a
// regular file (console/files.h), or no file can be created.
// name_table: the operator's names, empty for none.
bool recording_open(Recording& recording, const std::string& path, int32_t humans, int32_t bots,
                    std::vector<std::string> name_table, std::string* err);

// The storage for a match of `humans` human players and `bots` bots, once
// the file is open.
void recording_make_storage(Recording& recording, int32_t humans, int32_t bots,
                            std::vector<std::string> name_table);

// Human q's client came from peer ("a.b.c.d:port", or an address alone).
void recording_seat_peer(Recording& recording, size_t q, const char* peer);

// Player p is called name_table[id] from now on (-1: unnamed); the next line
// names the players again. Nothing without a name table.
void recording_name_player(Recording& recording, size_t p, int32_t id);

// path with %Y, %m, %d, %H, %M and %S replaced by the year, month, day,
// hour, minute and second of `now` in UTC, and %% by %. False, with *err
// naming the placeholder, for any other % sequence.
bool recording_name(const std::string& path, std::time_t now, std::string* name, std::string* err);

// The n-th other name for name: "-n" before its extension, as
// "games/lan1-2.jsonl" for "games/lan1.jsonl" and n = 2.
std::string recording_numbered_name(const std::string& name, int n);

// Notes a hit for the turn's line; one per human and turn, a later one of
// the same turn is left out.
void recording_add_hit(Recording& recording, const Hit& hit);

// Writes turn's line from the match's tables and its hits, and flushes it,
// so that a process killed later leaves every finished turn in the file;
// syncs it to the disk as recording.sync asks. A sync that fails is logged
// once and the line stays written.
void recording_write_turn(Recording& recording, uint64_t turn, const Match& match);

// With --record-sync second: syncs a line left unsynced once a second has
// passed since the last sync, or at once when waiting_on (the match thread
// starts a wait with no end: a key, a client to accept), so that a stalled
// match keeps the promise too. Called while the match thread waits.
void recording_sync_due(Recording& recording, bool waiting_on);

// Leaves the recording without its end record, its lines on the disk, so
// that a resume goes on with its match. Nothing is written after it.
void recording_suspend(Recording& recording);

// Ends the recording with the end record (record/end_record.h) and its line
// end, written straight to the file's descriptor from a buffer of its own, so
// that a signal handler may: nothing allocates, no stream is touched.
// Nothing is written after it. REQUIRES: no turn's line half written (each
// is flushed whole by recording_write_turn).
template <class Health, class Score, class Name>
void recording_write_end(Recording& recording, const MatchEnd& end, const int32_t* order,
                         size_t players, Health health, Score score, Name name) {
  // A recording that lacks the last turns cannot take the end after them:
  // the mark says the match is over.
  if (recording.file == nullptr) {
    if (recording.last != nullptr && recording.behind) {
      last_start_note(*recording.last, end.turns, true);
    }
    return;
  }
  struct DirectOut {
    std::FILE* file;
    char buffer[4096];
    size_t length = 0;
    bool failed = false;
    void put(const char* bytes, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        if (length == sizeof buffer) flush();
        buffer[length++] = bytes[i];
      }
    }
    void flush() {
      failed = failed || !console_write_now(file, buffer, length);
      length = 0;
    }
  } out{recording.file, {}};
  out.put(END_LINE_START, sizeof END_LINE_START - 1);
  write_end_json(out, end, order, players, health, score, name);
  out.put("}\n", 2);
  out.flush();
  if (out.failed && recording.last != nullptr) last_start_note(*recording.last, end.turns, true);
  // The end is what keeps a resume from playing the match again: on the
  // disk as every line is.
  if (!out.failed && recording.sync != RecordSync::System) console_sync_file(recording.file);
  // The stream is left open and unused: closing it may allocate and lock.
  recording.file = nullptr;
}
