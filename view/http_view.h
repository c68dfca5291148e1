// The live view's HTTP server: its own thread, the page at /, /state.json,
// The live view's HTTP server: its own thread, the page at /, /state.json,
// /view.json and /metrics over a Snapshot, or, for a replay, the page, its
// windows of turns (/turns.jsonl?from=F&count=C, record/replay.h) and the
// whole recording (/recording.jsonl, sent from the file as it is read). For
// an orchestrator's probes, /healthz (200 while the server runs) and /readyz
// (200 while a player can still join, 503 otherwise). GET only; requests and
// answers bounded in size and time; nothing else is read from disk.
// Exceptions of the HTTP library stay inside: nothing here throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "record/replay.h"
#include "view/snapshot.h"

class HttpView {
 public:
  // Limits of one request: the request line and headers, and the seconds a
  // client may take to send a request or read its answer.
  static constexpr size_t HEADER_LIMIT = 8192;
  static constexpr int REQUEST_SECONDS = 10;
  static constexpr int MAX_CONNECTIONS = 64;
  // Limits of one window of a replay's turns.
  static constexpr uint64_t WINDOW_TURNS = 4096;
  static constexpr size_t WINDOW_BYTES = 1024 * 1024;
  // A replay's windows read side by side, each a file and at most a window
  // and a line in memory (record/replay.h).
  static constexpr size_t REPLAY_READERS = 4;

  // Listens on address:port (dotted IPv4) and serves snapshot from a thread
  // of its own; /readyz answers as can_join says, which the match thread
  // keeps. Returns null and fills *err when the port cannot be bound.
  // REQUIRES: snapshot and can_join outlive the view.
  static std::unique_ptr<HttpView> start_live(const std::string& address, uint16_t port,
                                              const Snapshot* snapshot,
                                              const std::atomic<bool>* can_join,
                                              const std::atomic<int64_t>* heartbeat_ns,
                                              std::string* err) noexcept;
  // Serves a recording, indexed by replay_load, instead of a match.
  static std::unique_ptr<HttpView> start_replay(const std::string& address, uint16_t port,
                                                Replay recording, std::string* err) noexcept;

  // Stops the thread and closes every connection.
  ~HttpView();
  HttpView(const HttpView&) = delete;
  HttpView& operator=(const HttpView&) = delete;

  // Blocks until the view's thread ends (for a replay: until the process is stopped).
  void wait() noexcept;

  struct Impl;
  explicit HttpView(std::unique_ptr<Impl> impl) noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};
