// The end-to-end harness: the real server binary started as a process in a
// temporary working directory, its console on pipes, and real TCP clients on
// 127.0.0.1. Each case (each its own process under CTest) starts its servers
// with --port and a free port of its own, so cases run side by side. With
// ZOLT_E2E_PORT_2000=1 the server is started as the historic one was, with
// no option, on port 2000, and the cases must run one at a time. With its
// port the server is also given its bot route file, in the case's folder.
//
// The server command comes from ZOLT_SERVER_COMMAND (words separated by
// spaces, for instance "wine /path/zolt-server.exe"), else the binary built
// beside the tests. With ZOLT_SERVER_WINDOWS=1 the harness reads the console
// with CR LF line ends turned into LF (a line end without CR is marked, so
// that it fails the comparison), waits after the server's end until Wine has
// let go of its port, and, for the server started without options, the bot
// route file lives at ZOLT_BOT_ROUTE_FILE instead of the working directory.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/client.h"

// Whether this build (and so its server) has the sanitizers' runtime, which
// needs descriptors of its own and holds freed memory a while.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
inline constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
inline constexpr bool kSanitized = false;
#endif

// A fresh directory under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file of the given content into the directory.
  void write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when there is none.
std::string read_file(const std::string& path);

// Whether the server under test is the Windows build.
bool server_is_windows();

// Whether the harness gives the server its port as an option (see above).
bool server_has_port_option();

// The TCP port of this test process's servers.
uint16_t test_port();

// A TCP port free on loopback now, from a block of ports of this process's
// own, so that cases running side by side never pick the same one.
uint16_t free_port();

// A free port other than test_port(), the same for the whole test process:
// for the server's live view.
uint16_t view_port();

// Writes (or with content null, removes) the bot route file the server in
// workdir will read.
void put_bot_route_file(const std::string& workdir, const char* content);

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Standard error on standard output's pipe, as when both are one terminal.
  bool log_to_output = false;
  // Standard output's pipe is never read: a console nobody reads.
  bool output_unread = false;

  // Starts the server in workdir with extra arguments; the console input is
  // given at once (closed afterwards when close_input is set).
  void start(const std::string& workdir, const std::vector<std::string>& args,
             const std::string& input, bool close_input);

  void write_input(const std::string& text);
  void close_input();

  // Waits until standard output contains text; false after timeout_ms.
  bool wait_for_output(const std::string& text, int timeout_ms = 20000);
  // Waits until the log (standard error) contains text; false after
  // timeout_ms.
  bool wait_for_log(const std::string& text, int timeout_ms = 20000);
  // Waits until the server listens on test_port() (or on port): its waiting
  // text comes before the listening socket, and a client that does not retry
  // must not try in between. False after timeout_ms or once the server has
  // ended.
  bool wait_until_listening(int timeout_ms = 20000, uint16_t port = 0);
  // Standard output so far (line ends made LF for the Windows build).
  std::string output();
  std::string errors();
  // Waits until the server has read all console input written so far; false
  // after timeout_ms.
  bool wait_until_input_taken(int timeout_ms = 20000);

  // Waits for the process to end; its exit code, -1 for a signal, -2 on time-out.
  int wait_exit(int timeout_ms = 20000);
  bool running();
  pid_t pid() const { return pid_; }
  void kill();
  // Sends the process a signal (POSIX builds: Wine does not pass them on).
  void send_signal(int signal_number);

  // Resource limits (setrlimit: resource, value) of the servers started from
  // now on; see SpawnSettings.
  std::vector<std::pair<int, rlim_t>> limits;
  // The case's config file gives the port: the harness adds no --port.
  bool port_in_config = false;
  // A server binary to start instead of the harness's command (a copy of
  // it placed elsewhere); empty: that command.
  std::string program;

 private:
  void pump(int timeout_ms);
  // Number of console input bytes the server has not read yet; -1 if unknown.
  long unread_input();

  // Ends once the process's listeners are gone (see the .cc).
  void forget_process();

  pid_t pid_ = -1;
  // The remote console's port, when the arguments name one: its listener
  // outlives the process under Wine as the game's does.
  uint16_t rcon_port_ = 0;
  int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  int exit_code_ = -3;
};

// Whether the process pid rests over the next `window` as a waiting server
// does: empty if so, else what it did instead. Its threads' states are
// sampled every 10 ms; a thread running, or ready to run and waiting for a
// processor, in more than a quarter of the samples is a spin, whatever the
// machine's speed or load. Its threads' wake-ups (context switches, given
// up or taken) beyond `wakeups_per_second` per second of the window are a
// poll in a short loop; the bound is what the process's own timers account
// for, generously. POSIX (/proc) only.
std::string unrest(pid_t pid, std::chrono::milliseconds window, int wakeups_per_second);

// The wake-ups a second of a server that waits: its timers (the one-second
// slice of a wait, the one-second rest after a failed accept, the remote
// console's look every 250 ms, the view's heartbeat) make up to about 15; a
// loop that polls every 10 ms or less makes 100 and more.
inline constexpr int RESTING_WAKEUPS = 50;

// The console answers of a well-formed dialogue.
std::string answers(int humans, int bots, int map);

// How long a harness client waits for any one message before the case
// fails, naming what it waited for: far beyond any answer of a working
// server, even under Wine on a loaded machine, and far under CTest's limit
// on a case, so that a server (or a case) that stops answering fails with
// its reason instead of holding the run.
constexpr int REPLY_WAIT_MS = 30000;

// Makes every receive on connection give up after REPLY_WAIT_MS.
void bound_receives(SocketHandle connection);

// One receive, of at most one message's bytes, on a connection given
// bound_receives: its bytes, "" once the peer has closed. When the wait
// runs out it adds a failure to the case naming waiting_for, and gives ""
// too.
std::string receive_bounded(SocketHandle connection, const std::string& waiting_for);

// An answer of an HTTP server on loopback (the live view, the replay).
struct HttpReply {
  int status = 0;  // 0: no answer
  std::string head, body;
};

// Sends request bytes to 127.0.0.1:port on a new connection (trying to
// connect for up to 20 s, while a server starts) and reads the answer until
// the server closes it, each receive bounded by 20 s.
HttpReply http_exchange(uint16_t port, const std::string& request);

// The answer to GET path.
HttpReply http_get(uint16_t port, const std::string& path);

// A test client on 127.0.0.1:test_port() that resets its connection when it goes,
// so that no side lingers in TIME_WAIT between cases. Every receive, its own
// and those of the client_* calls on link, is bounded by REPLY_WAIT_MS: one
// that runs out fails the case naming the step and leaves the link closed,
// so a thread playing it ends.
//
// Two clients connected one after the other may still be accepted in either
// order; a case that needs a client to have a given player index connects
// the next one only once the server has accepted this one (its answer to
// the greeting, or its "player N joined from" in ServerProcess::wait_for_log).
struct TestClient {
  ClientLink link;
  TestClient();  // connects, retrying briefly while the server starts
  ~TestClient();
  void send(int32_t value);  // one message, its decimal text
  void send_raw(const std::string& bytes);
  int32_t recv();          // one message, 0 kept as 0
  std::string recv_raw();  // one receive's bytes
  void close();
};

// Threads that play clients beside the case's own: each runs until `stop` or
// until its link closes. They are joined however the case ends, an ASSERT's
// return included; since every receive of a TestClient is bounded, so is
// the join.
class ClientThreads {
 public:
  ClientThreads() = default;
  ~ClientThreads() { join_all(); }
  ClientThreads(const ClientThreads&) = delete;
  ClientThreads& operator=(const ClientThreads&) = delete;

  template <typename Body>
  void start(Body body) {
    threads_.emplace_back(std::move(body));
  }
  // Sets stop and waits for every thread.
  void join_all() {
    stop = true;
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  std::atomic<bool> stop{false};

 private:
  std::vector<std::thread> threads_;
};

// A console text that holds one %s, with value in its place.
std::string formatted(const char* format, const std::string& value);

// The console line naming a client's address.
std::string peer_line(const std::string& address);

// The start of every console output, up to and including the map prompt.
std::string dialogue_output(const std::string& address);
