#include "tests/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "console/texts.h"
#include "net/message.h"
#include "net/protocol.h"
#include "tests/spawn.h"

#ifndef ZOLT_SERVER_BINARY
#error "ZOLT_SERVER_BINARY must name the built server"
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> server_command() {
  std::vector<std::string> words;
  const char* command = std::getenv("ZOLT_SERVER_COMMAND");
  if (command == nullptr || *command == '\0') {
    words.push_back(ZOLT_SERVER_BINARY);
    return words;
  }
  std::istringstream stream(command);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// The Windows console writes every line end as CR LF; the cases expect LF.
// A line end without its CR is shown as such, so that a console that stopped
// writing CR LF fails every case that compares the output.
std::string lf_line_ends(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      result += "<LF without CR>";
    }
    result += text[i];
  }
  return result;
}

// Whether some other process still has a listening TCP socket on port. A
// listener of this test process (one a case set up to take the port) does
// not count.
bool foreign_listener_on(uint16_t port) {
  std::set<std::string> own_sockets;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    own_sockets.insert(std::filesystem::read_symlink(entry.path(), ignored).string());
  }
  char port_field[8];
  std::snprintf(port_field, sizeof port_field, ":%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:when retrnsmt uid timeout inode
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const bool listening = state == "0A";
    const bool on_port = local.size() > 5 && local.compare(local.size() - 5, 5, port_field) == 0;
    if (listening && on_port && own_sockets.count("socket:[" + inode + "]") == 0) return true;
  }
  return false;
}

// Under Wine the process's sockets are also held by the Wine server, which
// lets go of them a few milliseconds after the process has ended. A client
// of the next case could meanwhile connect to the old listener and be lost
// with it, so wait until it is gone.
void wait_until_listener_released(uint16_t port) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (foreign_listener_on(port) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Before any case: a port held by another program (a server left over, a
// service of the machine) would make every case fail in its own confusing
// way; say so once, and run none.
class PortIsFree : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_FALSE(foreign_listener_on(test_port()))
        << "another program listens on TCP port " << test_port()
        << "; the cases need it: stop that program (tools/test.sh run as root gives the suites "
           "a network of their own)";
  }
};

[[maybe_unused]] ::testing::Environment* const port_check =
    ::testing::AddGlobalTestEnvironment(new PortIsFree);

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zolt-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << content;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool server_has_port_option() {
  const char* fixed = std::getenv("ZOLT_E2E_PORT_2000");
  return fixed == nullptr || std::strcmp(fixed, "1") != 0;
}

namespace {

// The ports kept for the whole process (the game's and the view's): the
// block wraps round, and a free moment between two servers must not hand
// one of them to a case as a port of its own.
std::vector<uint16_t>& kept_ports() {
  static std::vector<uint16_t> kept;
  return kept;
}

uint16_t keep_free_port() {
  const uint16_t port = free_port();
  kept_ports().push_back(port);
  return port;
}

// Whether port can be bound on loopback now.
bool bindable(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

}  // namespace

uint16_t free_port() {
  // Each test process takes its ports from a block of its own, below the
  // range the system gives clients: a port the system hands one process may
  // be handed to the next one at once, and a case's clients that wait for
  // their server would then reach another case's server.
  constexpr int BLOCK = 16;
  static int next = 0;
  const int base = 10000 + static_cast<int>(getpid() % 1200) * BLOCK;
  for (int tries = 0; tries < BLOCK; ++tries) {
    const auto port = static_cast<uint16_t>(base + next++ % BLOCK);
    const auto& kept = kept_ports();
    if (std::find(kept.begin(), kept.end(), port) == kept.end() && bindable(port)) return port;
  }
  std::abort();
}

uint16_t test_port() {
  // Chosen once: every server of the case listens there.
  static const uint16_t port = server_has_port_option() ? keep_free_port() : SERVER_PORT;
  return port;
}

uint16_t view_port() {
  test_port();  // taken first, so that the two differ
  static const uint16_t port = keep_free_port();
  return port;
}

bool server_is_windows() {
  const char* flag = std::getenv("ZOLT_SERVER_WINDOWS");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

void put_bot_route_file(const std::string& workdir, const char* content) {
  const char* fixed = server_has_port_option() ? nullptr : std::getenv("ZOLT_BOT_ROUTE_FILE");
  const std::string path = fixed != nullptr && *fixed != '\0' ? fixed : workdir + "/bot.txt";
  if (content == nullptr) {
    std::remove(path.c_str());
  } else {
    std::ofstream(path, std::ios::binary) << content;
  }
}

ServerProcess::~ServerProcess() {
  kill();
}

void ServerProcess::start(const std::string& workdir, const std::vector<std::string>& args,
                          const std::string& input, bool close_input_now) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
  std::vector<std::string> words = server_command();
  if (!program.empty()) words = {program};
  rcon_port_ = 0;
  if (const auto rcon = std::find(args.begin(), args.end(), "--rcon");
      rcon != args.end() && rcon + 1 != args.end()) {
    const size_t colon = rcon[1].rfind(':');
    rcon_port_ = static_cast<uint16_t>(std::atoi(rcon[1].c_str() + (colon + 1)));
  }
  words.insert(words.end(), args.begin(), args.end());
  if (server_has_port_option()) {
    // The bot route file too is the case's own, in its working directory:
    // under Wine the default c:\bot.txt would be shared by every case.
    const auto given = [&args](const char* option) {
      return std::find(args.begin(), args.end(), option) != args.end();
    };
    if (!given("--port") && !port_in_config)
      words.insert(words.end(), {"--port", std::to_string(test_port())});
    if (!given("--bot-file")) words.insert(words.end(), {"--bot-file", "bot.txt"});
  }

  SpawnSettings spawn;
  spawn.workdir = workdir;
  spawn.in = in_pipe[0];
  spawn.out = out_pipe[1];
  spawn.err = log_to_output ? out_pipe[1] : err_pipe[1];
  spawn.limits = limits;
  pid_ = spawn_process(words, spawn);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  in_fd_ = in_pipe[1];
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  fcntl(err_fd_, F_SETFL, O_NONBLOCK);
  // A server that has ended must not take the test down with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  out_.clear();
  err_.clear();
  exit_code_ = -3;
  write_input(input);
  if (close_input_now) close_input();
}

void ServerProcess::write_input(const std::string& text) {
  size_t done = 0;
  while (done < text.size() && in_fd_ >= 0) {
    const ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void ServerProcess::close_input() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

void ServerProcess::pump(int timeout_ms) {
  pollfd fds[2] = {{output_unread ? -1 : out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  const int ready = poll(fds, 2, timeout_ms);
  if (ready <= 0) return;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
    if (n == 0) {
      close(fds[i].fd);
      (i == 0 ? out_fd_ : err_fd_) = -1;
    }
  }
}

bool ServerProcess::wait_for_output(const std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output().find(text) == std::string::npos) {
    if (Clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return false;
    pump(20);
  }
  return true;
}

bool ServerProcess::wait_for_log(const std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (errors().find(text) == std::string::npos) {
    if (Clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return false;
    pump(20);
  }
  return true;
}

bool ServerProcess::wait_until_listening(int timeout_ms, uint16_t port) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!foreign_listener_on(port != 0 ? port : test_port())) {
    if (Clock::now() >= deadline || !running()) return false;
    pump(2);
  }
  return true;
}

bool ServerProcess::wait_until_input_taken(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (unread_input() != 0) {
    if (Clock::now() >= deadline) return false;
    pump(2);
  }
  return true;
}

std::string ServerProcess::output() {
  pump(0);
  return server_is_windows() ? lf_line_ends(out_) : out_;
}

std::string ServerProcess::errors() {
  pump(0);
  return err_;
}

long ServerProcess::unread_input() {
  if (in_fd_ < 0) return -1;
  int pending = 0;
  if (ioctl(in_fd_, FIONREAD, &pending) != 0) return -1;
  return pending;
}

bool ServerProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == 0) return true;
  if (done == pid_) exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  forget_process();
  return false;
}

void ServerProcess::forget_process() {
  pid_ = -1;
  if (!server_is_windows()) return;
  wait_until_listener_released(test_port());
  if (rcon_port_ != 0) wait_until_listener_released(rcon_port_);
}

int ServerProcess::wait_exit(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (running()) {
    if (Clock::now() >= deadline) return -2;
    pump(10);
  }
  // Collect what the process wrote before it ended.
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const size_t before = out_.size() + err_.size();
    pump(50);
    if (out_.size() + err_.size() == before) break;
  }
  return exit_code_;
}

void ServerProcess::send_signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

void ServerProcess::kill() {
  const bool was_running = pid_ > 0;
  if (!running() && was_running && (exit_code_ < 0 || exit_code_ > 2)) {
    // The case thought the server still running; an exit it did not wait
    // for, other than the server's own codes, is a crash or a sanitizer
    // report.
    ADD_FAILURE() << "the server ended on its own with "
                  << (exit_code_ < 0 ? std::string("a signal")
                                     : "exit code " + std::to_string(exit_code_));
  }
  if (running()) {
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    forget_process();
  }
  close_input();
  for (int* fd : {&out_fd_, &err_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

namespace {

// The folders of process pid's threads under /proc; none once it is gone.
std::vector<std::filesystem::path> thread_folders(pid_t pid) {
  std::vector<std::filesystem::path> folders;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
       !error && it != end; it.increment(error)) {
    folders.push_back(it->path());
  }
  return folders;
}

// The state letter in a /proc stat file ('R' running or ready to run,
// whether or not a processor is free for it; 'S' asleep; 'Z' ended); 0 when
// it cannot be read, as of a thread that has just ended.
char state_in(const std::filesystem::path& stat_file) {
  const std::string stat = read_file(stat_file.string());
  // The state follows the command's closing parenthesis and a space.
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '\0';
}

bool a_thread_runs(pid_t pid) {
  for (const auto& folder : thread_folders(pid)) {
    if (state_in(folder / "stat") == 'R') return true;
  }
  return false;
}

// Whether pid is still a live process: not gone, and no zombie whose end
// has not been collected yet.
bool process_lives(pid_t pid) {
  const char state = state_in("/proc/" + std::to_string(pid) + "/stat");
  return state != '\0' && state != 'Z' && state != 'X';
}

// The context switches of pid's threads so far, voluntary or not: each is a
// wake-up, from a timer, a message or a processor taken away.
uint64_t context_switches(pid_t pid) {
  uint64_t switches = 0;
  for (const auto& folder : thread_folders(pid)) {
    std::istringstream status(read_file((folder / "status").string()));
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:") ||
          line.starts_with("nonvoluntary_ctxt_switches:")) {
        switches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
  }
  return switches;
}

}  // namespace

std::string unrest(pid_t pid, std::chrono::milliseconds window, int wakeups_per_second) {
  if (!process_lives(pid)) return "process " + std::to_string(pid) + " is not running";
  const uint64_t switches_before = context_switches(pid);
  const auto began = Clock::now();
  int samples = 0;
  int running = 0;
  // Each sample 10 ms after the last: a test starved of processor time
  // takes them later, never a burst of them at one moment, and takes enough
  // of them that one sample caught in a wake-up weighs little.
  constexpr int FEWEST_SAMPLES = 50;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ++samples;
    if (a_thread_runs(pid)) ++running;
  } while (Clock::now() - began < window || samples < FEWEST_SAMPLES);
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  const uint64_t switches_after = context_switches(pid);
  if (!process_lives(pid)) return "the process ended while it was watched";
  // A thread that ended in the window takes its switches with it.
  const uint64_t wakeups = switches_after > switches_before ? switches_after - switches_before : 0;
  std::ostringstream fault;
  if (running * 4 > samples) {
    fault << "a thread ran or was ready to run in " << running << " of " << samples << " samples; ";
  }
  if (static_cast<double>(wakeups) > wakeups_per_second * seconds) {
    fault << wakeups << " wake-ups in " << seconds << " s, more than " << wakeups_per_second
          << " a second; ";
  }
  return fault.str();
}

std::string answers(int humans, int bots, int map) {
  return std::to_string(humans) + "\n" + std::to_string(bots) + "\n" + std::to_string(map) + "\n";
}

std::string formatted(const char* format, const std::string& value) {
  std::string text(std::strlen(format) + value.size(), '\0');
  text.resize(
      static_cast<size_t>(std::snprintf(text.data(), text.size() + 1, format, value.c_str())));
  return text;
}

std::string peer_line(const std::string& address) {
  return formatted(PEER_LINE, address);
}

std::string dialogue_output(const std::string& address) {
  return std::string(WELCOME_BANNER) + BANNER_GAP + formatted(ADDRESS_LINE, address) +
         HUMANS_PROMPT + BOTS_PROMPT + MAP_LIST + MAP_PROMPT;
}

void bound_receives(SocketHandle connection) {
  socket_set_receive_timeout(connection, REPLY_WAIT_MS);
}

namespace {

void report_silence(const std::string& waiting_for) {
  ADD_FAILURE() << "nothing received for " << REPLY_WAIT_MS / 1000 << " s while waiting for "
                << waiting_for;
}

}  // namespace

HttpReply http_exchange(uint16_t port, const std::string& request) {
  std::string err;
  SocketHandle s = INVALID_SOCKET_HANDLE;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while ((s = socket_connect("127.0.0.1", port, &err)) == INVALID_SOCKET_HANDLE &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  HttpReply reply;
  if (s == INVALID_SOCKET_HANDLE) return reply;
  socket_set_receive_timeout(s, 20000);
  socket_send(s, request.data(), request.size());
  std::string all;
  char buffer[4096];
  bool timed_out = false;
  for (size_t got; (got = socket_recv(s, buffer, sizeof buffer, &timed_out)) > 0;) {
    all.append(buffer, got);
  }
  socket_close(s, true);
  const size_t end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
  reply.status = std::stoi(all.substr(9, 3));
  reply.head = all.substr(0, end);
  reply.body = all.substr(end + 4);
  return reply;
}

HttpReply http_get(uint16_t port, const std::string& path) {
  return http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

std::string receive_bounded(SocketHandle connection, const std::string& waiting_for) {
  char buffer[MESSAGE_LIMIT];
  bool timed_out = false;
  const size_t got = socket_recv(connection, buffer, sizeof buffer, &timed_out);
  if (timed_out) report_silence(waiting_for);
  return std::string(buffer, got);
}

TestClient::TestClient() {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string err;
  for (;;) {
    link.socket = socket_connect("127.0.0.1", test_port(), &err);
    if (link.socket != INVALID_SOCKET_HANDLE || Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  bound_receives(link.socket);
  link.on_silence = [](const char* step) {
    report_silence(std::string("the server's '") + step + "'");
    return false;
  };
}

TestClient::~TestClient() {
  close();
}

void TestClient::send(int32_t value) {
  send_int(link.socket, value);
}

void TestClient::send_raw(const std::string& bytes) {
  socket_send(link.socket, bytes.data(), bytes.size());
}

int32_t TestClient::recv() {
  bool timed_out = false;
  const size_t got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  if (timed_out) report_silence("a message from the server");
  link.buffer[got] = '\0';
  return parse_int(link.buffer);
}

std::string TestClient::recv_raw() {
  bool timed_out = false;
  const size_t got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  if (timed_out) report_silence("a message from the server");
  return std::string(link.buffer, got);
}

void TestClient::close() {
  socket_close(link.socket, true);
  link.socket = INVALID_SOCKET_HANDLE;
}
