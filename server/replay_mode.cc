#include "server/replay_mode.h"

#include <chrono>
#include <cinttypes>
#include <memory>
#include <string>
#include <thread>

#include "console/console.h"
#include "console/log.h"
#include "record/replay.h"
#include "server/exit_codes.h"
#include "server/watch.h"
#include "view/http_view.h"

int run_replay(const Options& options) {
  Replay replay;
  std::string err;
  if (!replay_load(options.replay_file, replay, &err)) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_USAGE;
  }
  const uint64_t turns = replay.turns, damaged = replay.damaged;
  std::unique_ptr<HttpView> view =
      HttpView::start_replay(options.http_address, options.http_port, std::move(replay), &err);
  if (!view) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_CANNOT_LISTEN;
  }
  log_line(LogLevel::Info,
           "replaying '%s' (%" PRIu64 " turns, %" PRIu64 " damaged) on %s until stopped",
           options.replay_file.c_str(), turns, damaged,
           view_urls(reachable_addresses(options.http_address), options.http_port).c_str());
  // A stop (Ctrl-C, SIGTERM) is only recorded by its signal's handler: the
  // replay looks for it, as the match thread does, and then ends the view.
  const char* why = nullptr;
  while ((why = console_stop_asked()) == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  log_line(LogLevel::Info, "replay stopped by %s", why);
  return EXIT_MATCH_OVER;
}
