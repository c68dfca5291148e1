#include "tests/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (const char c : text)
    out += c == '\n' ? "\\n" : c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

// The first string value of "key" in a JSON text, unescaped.
std::string json_value(const std::string& json, const std::string& key) {
  const std::string name = "\"" + key + "\":\"";
  const size_t at = json.find(name);
  std::string value;
  for (size_t i = at == std::string::npos ? json.size() : at + name.size();
       i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 == json.size()) {
      value += json[i];
    } else if (json[++i] == 'u') {  // as UTF-8; the browser escapes no pair
      const auto code = std::stoul(json.substr(i + 1, 4), nullptr, 16);
      i += 4;
      if (code >= 0x800) value += static_cast<char>(0xE0 | code >> 12);
      if (code >= 0x80)
        value += static_cast<char>((code >= 0x800 ? 0x80 : 0xC0) | (code >> 6 & 0x3F));
      value += static_cast<char>(code >= 0x80 ? 0x80 | (code & 0x3F) : code);
    } else {
      value += json[i] == 'n' ? '\n' : json[i];
    }
  }
  return value;
}

}  // namespace

bool Browser::open(const std::string& url) {
  int commands[2], answers[2];
  if (pipe(commands) != 0 || pipe(answers) != 0) return false;
  std::vector<std::string> words;
  std::istringstream flags(
      "chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-sync "
      "--disable-background-networking --disable-component-update --hide-scrollbars "
      "--window-size=1280,800 --remote-debugging-pipe --user-data-dir=" +
      profile_.path() + " about:blank");
  for (std::string word; flags >> word;) words.push_back(word);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);  // its helper processes end with it
    const int in = dup(commands[0]), out = dup(answers[1]);
    dup2(in, 3);
    dup2(out, 4);
    const int quiet = ::open("/dev/null", O_RDWR);
    for (const int fd : {0, 1, 2}) dup2(quiet, fd);
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
  const std::string tab =
      json_value(command("Target.createTarget", "{\"url\":" + json_text(url) + "}"), "targetId");
  session_ = json_value(
      command("Target.attachToTarget", "{\"targetId\":" + json_text(tab) + ",\"flatten\":true}"),
      "sessionId");
  return !session_.empty();
}

std::string Browser::command(const std::string& method, const std::string& params) {
  const std::string id = "{\"id\":" + std::to_string(next_id_++) + ",";
  std::string message = id + "\"method\":\"" + method + "\",\"params\":" + params;
  if (!session_.empty()) message += ",\"sessionId\":" + json_text(session_);
  message += std::string("}") + '\0';
  if (write(to_browser_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
    error_ = "the browser has gone";
    return "";
  }
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    // Events come between the answers; only this command's counts.
    for (size_t end; (end = pending_.find('\0')) != std::string::npos;) {
      const std::string one = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (one.rfind(id, 0) == 0) return one;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd ready = {from_browser_, POLLIN, 0};
    char buffer[65536];
    ssize_t got = 0;
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0 ||
        (got = read(from_browser_, buffer, sizeof buffer)) <= 0) {
      error_ = method + ": no answer from the browser";
      return "";
    }
    pending_.append(buffer, static_cast<size_t>(got));
  }
}

std::string Browser::eval(const std::string& expression) {
  const std::string wrapped = "(async () => { try { return String(await (" + expression +
                              ")); } catch (e) { return 'error: ' + e; } })()";
  const std::string answer =
      command("Runtime.evaluate", "{\"expression\":" + json_text(wrapped) +
                                      ",\"awaitPromise\":true,\"returnByValue\":true}");
  return answer.empty() ? "error: " + error_ : json_value(answer, "value");
}

std::string Browser::eval_until(const std::string& expression) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string value;
  while ((value = eval(expression)) != "true" && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return value;
}

bool Browser::screenshot(const std::string& path) {
  const std::string data =
      json_value(command("Page.captureScreenshot", "{\"format\":\"png\"}"), "data");
  std::string png;
  uint32_t bits = 0;
  int count = 0;
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (const char c : data) {
    const size_t value = alphabet.find(c);
    if (value == std::string::npos) continue;  // '=' and line ends
    bits = bits << 6 | static_cast<uint32_t>(value);
    if ((count += 6) >= 8) {
      count -= 8;
      png += static_cast<char>(bits >> count & 0xFF);
    }
  }
  if (png.rfind("\x89PNG", 0) != 0) return false;
  std::ofstream out(path, std::ios::binary);
  out << png;
  return static_cast<bool>(out);
}

Browser::~Browser() {
  if (to_browser_ >= 0) close(to_browser_);
  if (from_browser_ >= 0) close(from_browser_);
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}
