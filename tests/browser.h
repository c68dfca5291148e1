// Headless chromium for the cases that look at the view's page: started on
// about:blank, driven over its debugging pipe (file descriptors 3 and 4, one
// JSON message per NUL-terminated text), so that a case can open the page
// and read back what the browser computed: element geometry, texts, classes.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/server_process.h"

class Browser {
 public:
  Browser() = default;
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Whether chromium is installed here.
  static bool available();

  // Starts chromium with a window of 1280 x 800 and opens url in a tab.
  // False (with the reason in error()) when it cannot.
  bool open(const std::string& url);

  // Evaluates a JavaScript expression in the page, awaiting it when it is a
  // promise; its value as text, or "error: ..." when it threw or the
  // browser did not answer within timeout_ms.
  std::string eval(const std::string& expression, int timeout_ms = 20000);

  // Evaluates expression until its value is not "", "false", "null" or
  // "undefined", for at most timeout_ms; its last value.
  std::string eval_until(const std::string& expression, int timeout_ms = 20000);

  const std::string& error() const { return error_; }

 private:
  // Sends a command (method and its params as JSON) and waits for its answer.
  std::string command(const std::string& method, const std::string& params, int timeout_ms,
                      bool in_page = true);

  pid_t pid_ = -1;
  int to_browser_ = -1, from_browser_ = -1;
  int next_id_ = 1;
  std::string session_, pending_, error_;
  TempDir profile_;
};

// The first string value of "key" in a JSON text, unescaped; "" when absent.
std::string json_value(const std::string& json, const std::string& key);
