// Headless chromium for the cases that look at the view's page, driven over
// its debugging pipe (descriptors 3 and 4, one JSON message per
// NUL-terminated text), so that a case can open the page and read back what
// the browser computed: the boxes of what it drew, texts, styles.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>

#include "tests/server_process.h"

class Browser {
 public:
  static bool available() { return std::system("command -v chromium > /dev/null") == 0; }

  Browser() = default;
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Starts chromium (a 1280 x 800 window) and opens url; false, with the
  // reason in error(), when it cannot.
  bool open(const std::string& url);
  // The value of a JavaScript expression in the page, awaited when it is a
  // promise, as text; "error: ..." when it threw or the browser did not answer.
  std::string eval(const std::string& expression);
  // eval until the value is "true" or 20 seconds have passed; the last value.
  std::string eval_until(const std::string& expression);
  // Writes a PNG of what the page shows now to path; false when it cannot.
  bool screenshot(const std::string& path);
  const std::string& error() const { return error_; }

 private:
  // Sends a command and waits up to 60 seconds for its answer; "" when none.
  std::string command(const std::string& method, const std::string& params);

  pid_t pid_ = -1;
  int to_browser_ = -1, from_browser_ = -1, next_id_ = 1;
  std::string session_, pending_, error_;
  TempDir profile_;
};
