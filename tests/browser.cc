#include "tests/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string json_value(const std::string& json, const std::string& key) {
  const std::string name = "\"" + key + "\":\"";
  const size_t at = json.find(name);
  std::string value;
  for (size_t i = at == std::string::npos ? json.size() : at + name.size();
       i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 == json.size()) {
      value += json[i];
    } else if (json[++i] == 'n') {
      value += '\n';
    } else if (json[i] == 'u') {  // the browser escapes control characters only
      value += static_cast<char>(std::strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16));
      i += 4;
    } else {
      value += json[i];
    }
  }
  return value;
}

bool Browser::available() {
  return std::system("command -v chromium > /dev/null 2>&1") == 0;
}

bool Browser::open(const std::string& url) {
  int commands[2], answers[2];
  if (pipe(commands) != 0 || pipe(answers) != 0) {
    error_ = "no pipes";
    return false;
  }
  std::vector<std::string> words;
  std::istringstream flags(
      "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--hide-scrollbars --window-size=1280,800 --remote-debugging-pipe about:blank");
  for (std::string word; flags >> word;) words.push_back(word);
  words.insert(words.end() - 1, "--user-data-dir=" + profile_.path());
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);  // the browser's helpers too end with it
    // The browser reads its commands on 3 and writes its answers on 4.
    const int in = dup(commands[0]), out = dup(answers[1]);
    dup2(in, 3);
    dup2(out, 4);
    const int null = ::open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (int fd = 5; fd < 1024; ++fd) close(fd);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  close(commands[0]);
  close(answers[1]);
  to_browser_ = commands[1];
  from_browser_ = answers[0];
  signal(SIGPIPE, SIG_IGN);
  const std::string target = json_value(
      command("Target.createTarget", "{\"url\":" + json_text(url) + "}", 60000, false), "targetId");
  if (target.empty()) {
    error_ = "chromium opened no tab: " + error_;
    return false;
  }
  session_ =
      json_value(command("Target.attachToTarget",
                         "{\"targetId\":" + json_text(target) + ",\"flatten\":true}", 20000, false),
                 "sessionId");
  if (session_.empty()) error_ = "cannot attach to the tab: " + error_;
  return !session_.empty();
}

std::string Browser::command(const std::string& method, const std::string& params, int timeout_ms,
                             bool in_page) {
  const int id = next_id_++;
  std::string message =
      "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
  if (in_page) message += ",\"sessionId\":" + json_text(session_);
  message += "}";
  message += '\0';
  for (size_t done = 0; done < message.size();) {
    const ssize_t n = write(to_browser_, message.data() + done, message.size() - done);
    if (n <= 0) {
      error_ = "the browser has gone";
      return "";
    }
    done += static_cast<size_t>(n);
  }
  const std::string wanted = "{\"id\":" + std::to_string(id) + ",";
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Events come between the answers; only this command's answer counts.
    for (size_t end; (end = pending_.find('\0')) != std::string::npos;) {
      std::string one = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (one.rfind(wanted, 0) == 0) return one;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd ready = {from_browser_, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) {
      error_ = method + ": no answer";
      return "";
    }
    char buffer[65536];
    const ssize_t n = read(from_browser_, buffer, sizeof buffer);
    if (n <= 0) {
      error_ = "the browser has gone";
      return "";
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string Browser::eval(const std::string& expression, int timeout_ms) {
  const std::string wrapped = "(async () => { try { return String(await (" + expression +
                              ")); } catch (e) { return 'error: ' + e; } })()";
  const std::string answer = command(
      "Runtime.evaluate",
      "{\"expression\":" + json_text(wrapped) + ",\"awaitPromise\":true,\"returnByValue\":true}",
      timeout_ms);
  if (answer.empty()) return "error: " + error_;
  return json_value(answer, "value");
}

std::string Browser::eval_until(const std::string& expression, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string value;
  for (;;) {
    value = eval(expression);
    if (value != "" && value != "false" && value != "null" && value != "undefined" &&
        value.rfind("error: ", 0) != 0) {
      return value;
    }
    if (Clock::now() >= deadline) return value;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

Browser::~Browser() {
  if (to_browser_ >= 0) close(to_browser_);
  if (from_browser_ >= 0) close(from_browser_);
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}
