// The live view's HTTP server, on the HTTP library of Boost (header only).
// One thread runs every connection asynchronously, so a slow or silent
// browser holds nothing but its own connection, and each connection has a
// deadline. A replay reads its windows and chart from the file on a few
// threads of their own, each with its own cursor on the file, so that
// readers are served side by side and the page and the probes never wait
// behind them. The
// library reports some failures by throwing: this file alone is compiled
// with exceptions (see CMakeLists.txt), and none leaves it.
#include <utility>  // before the networking headers: Boost 1.74 in C++20 needs it

#include "view/http_view.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "console/log.h"
#include "net/socket.h"
#include "record/replay.h"
// The page at /: one self-contained document (no file, no network beyond
// this server) that draws the match as SVG and polls /view.json; before the
// match it shows who has joined and where to connect; for a replay it reads
// the recording in windows of turns (/turns.jsonl) as it plays and seeks.
// Made at build time from view/page.html, page.css and page.js.
#include "view/page.h"
#include "view/render.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// The match thread wakes at least every second while it waits; this long
// without a wake-up, it is stuck.
constexpr int64_t WEDGED_AFTER_NS = 10'000'000'000;

struct HttpView::Impl {
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  // After a failed accept: the wait before the next, and when the failure
  // was last logged.
  asio::steady_timer accept_pause{io};
  std::chrono::milliseconds pause{0};
  std::optional<std::chrono::steady_clock::time_point> failure_logged;
  const Snapshot* snapshot = nullptr;           // live
  const std::atomic<bool>* can_join = nullptr;  // live
  // Live: the match thread's last wake-up, 0 while it waits on the
  // operator or for a player to connect.
  const std::atomic<int64_t>* heartbeat_ns = nullptr;
  Replay recording;  // replay
  bool replay = false;
  int connections = 0;
  std::thread thread;
  Frame frame;  // the view thread's copy of the snapshot
  // Replay: the threads that read the recording for the windows and the
  // chart, so that the page and the probes never wait behind a window.
  // `recording` is only read once they start; each read takes a cursor
  // from `cursors` (one per thread at most) and gives it back.
  std::optional<asio::thread_pool> reader;
  std::mutex cursors_lock;
  std::vector<std::unique_ptr<ReplayCursor>> cursors;
  std::mutex chart_lock;  // held while the chart is made: it is made once
  std::string chart;

  std::unique_ptr<ReplayCursor> take_cursor();
  void give_back(std::unique_ptr<ReplayCursor> cursor);
  http::response<http::string_body> read_recording(const http::request<http::empty_body>& request);

  void accept();
  void accept_failed(const beast::error_code& error);
  http::response<http::string_body> answer(const http::request<http::empty_body>& request);
};

namespace {

// "from=F&count=C" in the query of target, both decimal; false when either
// is missing or not a number.
bool window_asked(beast::string_view target, uint64_t* from, uint64_t* count) {
  const size_t query = target.find('?');
  if (query == beast::string_view::npos) return false;
  bool has_from = false, has_count = false;
  beast::string_view rest = target.substr(query + 1);
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('&'), rest.size());
    const beast::string_view pair = rest.substr(0, end);
    rest = rest.substr(std::min(end + 1, rest.size()));
    const size_t equals = pair.find('=');
    if (equals == beast::string_view::npos) continue;
    const beast::string_view name = pair.substr(0, equals), digits = pair.substr(equals + 1);
    if (digits.empty() || digits.size() > 18) return false;
    uint64_t value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (name == "from") {
      *from = value;
      has_from = true;
    } else if (name == "count") {
      *count = value;
      has_count = true;
    }
  }
  return has_from && has_count;
}

http::response<http::string_body> reply(http::status status, const char* type, std::string body,
                                        unsigned version) {
  http::response<http::string_body> response{status, version};
  response.set(http::field::server, "zolt-server");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, HttpView::Impl& view) : stream_(std::move(socket)), view_(view) {
    ++view_.connections;
  }
  ~Session() { --view_.connections; }

  void read() {
    parser_.emplace();
    parser_->header_limit(HttpView::HEADER_LIMIT);
    parser_->body_limit(0);  // a GET has no body
    stream_.expires_after(std::chrono::seconds(HttpView::REQUEST_SECONDS));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->on_read(error); });
  }

 private:
  void on_read(beast::error_code error) {
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      close();
      return;
    }
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      send(reply(http::status::request_header_fields_too_large, "text/plain", "request too large\n",
                 11),
           false);
      return;
    }
    if (error == http::error::body_limit || error == http::error::unexpected_body) {
      send(reply(http::status::payload_too_large, "text/plain", "a request has no body here\n", 11),
           false);
      return;
    }
    if (error) {
      send(reply(http::status::bad_request, "text/plain", "bad request\n", 11), false);
      return;
    }
    const http::request<http::empty_body>& request = parser_->get();
    // The whole recording goes from the file as it is read, never held here.
    if (view_.replay && request.method() == http::verb::get &&
        request.target().substr(0, request.target().find('?')) == "/recording.jsonl") {
      http::file_body::value_type file;
      beast::error_code failed;
      file.open(view_.recording.path.c_str(), beast::file_mode::scan, failed);
      if (!failed) {
        http::response<http::file_body> response{http::status::ok, request.version()};
        response.set(http::field::server, "zolt-server");
        response.set(http::field::content_type, "application/x-ndjson");
        response.set(http::field::cache_control, "no-store");
        response.body() = std::move(file);
        response.prepare_payload();
        send(std::move(response), request.keep_alive());
        return;
      }
    }
    const beast::string_view path = request.target().substr(0, request.target().find('?'));
    if (view_.reader && (path == "/turns.jsonl" || path == "/health.json")) {
      asio::post(*view_.reader, [self = shared_from_this(), request = request] {
        auto response = std::make_shared<http::response<http::string_body>>();
        try {
          *response = self->view_.read_recording(request);
        } catch (...) {
          *response = reply(http::status::internal_server_error, "text/plain",
                            "the recording could not be read\n", request.version());
        }
        // Written back on the view's thread, as every answer.
        asio::post(self->stream_.get_executor(), [self, response, keep = request.keep_alive()] {
          self->send(std::move(*response), keep);
        });
      });
      return;
    }
    send(view_.answer(request), request.keep_alive());
  }

  // The response lives as long as its write.
  template <class Body>
  void send(http::response<Body> response, bool keep_alive) {
    response.keep_alive(keep_alive);
    auto held = std::make_shared<http::response<Body>>(std::move(response));
    stream_.expires_after(std::chrono::seconds(HttpView::REQUEST_SECONDS));
    http::async_write(
        stream_, *held,
        [self = shared_from_this(), held, keep_alive](beast::error_code error, size_t) {
          if (error || !keep_alive) {
            self->close();
          } else {
            self->read();
          }
        });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{HttpView::HEADER_LIMIT};  // never grows past the limit
  std::optional<http::request_parser<http::empty_body>> parser_;
  HttpView::Impl& view_;
};

}  // namespace

std::unique_ptr<ReplayCursor> HttpView::Impl::take_cursor() {
  {
    std::lock_guard<std::mutex> held(cursors_lock);
    if (!cursors.empty()) {
      std::unique_ptr<ReplayCursor> cursor = std::move(cursors.back());
      cursors.pop_back();
      return cursor;
    }
  }
  auto cursor = std::make_unique<ReplayCursor>();
  std::string err;
  if (!replay_cursor_open(recording, *cursor, &err)) {
    log_line(LogLevel::Error, "--replay: %s", err.c_str());
    return nullptr;
  }
  return cursor;
}

void HttpView::Impl::give_back(std::unique_ptr<ReplayCursor> cursor) {
  // A cursor whose read failed starts again on a fresh file.
  if (!cursor->reader.error.empty()) return;
  std::lock_guard<std::mutex> held(cursors_lock);
  cursors.push_back(std::move(cursor));
}

http::response<http::string_body> HttpView::Impl::read_recording(
    const http::request<http::empty_body>& request) {
  const unsigned version = request.version();
  const beast::string_view target = request.target();
  const beast::string_view path = target.substr(0, target.find('?'));
  if (request.method() != http::verb::get) return answer(request);
  const auto unreadable = [version] {
    return reply(http::status::internal_server_error, "text/plain",
                 "the recording could not be read\n", version);
  };
  if (path == "/turns.jsonl") {
    uint64_t from = 0, count = 0;
    std::string window;
    if (!window_asked(target, &from, &count)) {
      return reply(http::status::bad_request, "text/plain", "ask for /turns.jsonl?from=F&count=C\n",
                   version);
    }
    if (from >= recording.turns) {
      return reply(http::status::not_found, "text/plain", "no such turn\n", version);
    }
    std::unique_ptr<ReplayCursor> cursor = take_cursor();
    if (cursor == nullptr) return unreadable();
    const bool read = replay_window(recording, *cursor, from,
                                    std::min<uint64_t>(count, WINDOW_TURNS), WINDOW_BYTES, &window);
    give_back(std::move(cursor));
    if (!read) return unreadable();
    return reply(http::status::ok, "application/x-ndjson", std::move(window), version);
  }
  std::lock_guard<std::mutex> held(chart_lock);
  if (chart.empty()) {
    std::unique_ptr<ReplayCursor> cursor = take_cursor();
    if (cursor == nullptr) return unreadable();
    std::string made;
    const bool read = replay_health_chart(recording, *cursor, &made);
    give_back(std::move(cursor));
    if (!read) return unreadable();
    chart = std::move(made);
  }
  return reply(http::status::ok, "application/json", chart, version);
}

void HttpView::Impl::accept() {
  acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;  // stopping
    if (error) {
      accept_failed(error);
      return;
    }
    pause = std::chrono::milliseconds(0);
    if (connections >= MAX_CONNECTIONS) {
      beast::error_code ignored;
      socket.close(ignored);  // too many at once: the newest goes
    } else {
      std::make_shared<Session>(std::move(socket), *this)->read();
    }
    accept();
  });
}

// Out of descriptors (or of memory) the connection stays waiting and the
// next accept fails at once: tried again at once, it would spin for ever and
// take a core from the match. The view pauses, longer each time up to a
// second, and says so in the log once (again at most every ten minutes).
void HttpView::Impl::accept_failed(const beast::error_code& error) {
  using std::chrono::milliseconds;
  pause = std::min(std::max(pause * 2, milliseconds(50)), milliseconds(1000));
  const auto now = std::chrono::steady_clock::now();
  if (!failure_logged || now - *failure_logged >= std::chrono::minutes(10)) {
    failure_logged = now;
    log_line(LogLevel::Error,
             "the live view cannot accept connections (%s): it pauses up to a second between "
             "tries until it can",
             error.message().c_str());
  }
  accept_pause.expires_after(pause);
  accept_pause.async_wait([this](beast::error_code waited) {
    if (waited != asio::error::operation_aborted) accept();
  });
}

http::response<http::string_body> HttpView::Impl::answer(
    const http::request<http::empty_body>& request) {
  const unsigned version = request.version();
  if (request.method() != http::verb::get) {
    auto response = reply(http::status::method_not_allowed, "text/plain", "GET only\n", version);
    response.set(http::field::allow, "GET");
    return response;
  }
  const beast::string_view target = request.target();
  const beast::string_view path = target.substr(0, target.find('?'));
  if (path == "/") return reply(http::status::ok, "text/html; charset=utf-8", PAGE, version);
  // The thread that answers is the server's own: while it answers, the
  // server runs.
  if (path == "/healthz") {
    // A match thread that has not woken for a while is wedged in a system
    // call: one that waits for a slow client wakes every second.
    const int64_t beat =
        heartbeat_ns == nullptr ? 0 : heartbeat_ns->load(std::memory_order_relaxed);
    if (beat != 0 && steady_ns() - beat > WEDGED_AFTER_NS) {
      return reply(http::status::service_unavailable, "text/plain",
                   "the match thread has not woken for a while\n", version);
    }
    return reply(http::status::ok, "text/plain", "ok\n", version);
  }
  if (path == "/readyz") {
    if (!replay && can_join->load(std::memory_order_relaxed)) {
      return reply(http::status::ok, "text/plain", "a player can join\n", version);
    }
    return reply(http::status::service_unavailable, "text/plain", "no player can join\n", version);
  }
  if (replay) {
    if (path == "/view.json") {
      return reply(http::status::ok, "application/json", "{\"replay\": true}", version);
    }
  } else if (path == "/state.json" || path == "/view.json" || path == "/metrics") {
    if (!snapshot->created() && path == "/view.json") {
      snapshot->read_lobby(frame);  // the humans are joining: the page says how many
      return reply(http::status::ok, "application/json", lobby_json(frame), version);
    }
    if (!snapshot->created()) {
      return reply(http::status::service_unavailable, "text/plain",
                   "the match has not started yet\n", version);
    }
    snapshot->read(frame, steady_ns());
    if (path == "/state.json") {
      return reply(http::status::ok, "application/json", state_json(frame), version);
    }
    if (path == "/view.json") {
      return reply(http::status::ok, "application/json", view_json(frame), version);
    }
    return reply(http::status::ok, "text/plain; version=0.0.4", metrics_text(frame), version);
  }
  return reply(http::status::not_found, "text/plain", "not found\n", version);
}

namespace {

std::unique_ptr<HttpView> start(std::unique_ptr<HttpView::Impl> impl, const std::string& address,
                                uint16_t port, std::string* err) {
  beast::error_code error;
  const asio::ip::address ip = asio::ip::make_address_v4(address, error);
  const char* doing = "read the address";
  if (!error) {
    const tcp::endpoint endpoint{ip, port};
    doing = "open";
    impl->acceptor.open(endpoint.protocol(), error);
    if (!error && LISTENER_REUSES_ADDRESS) {
      impl->acceptor.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
      doing = "bind";
      impl->acceptor.bind(endpoint, error);
    }
    if (!error) {
      doing = "listen on";
      impl->acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
  }
  if (error) {
    *err = "--http: cannot " + std::string(doing) + " " + address + ":" + std::to_string(port) +
           ": " + error.message();
    return nullptr;
  }
  impl->accept();
  HttpView::Impl* view = impl.get();
#ifndef _WIN32
  // The operator's stop runs on the match thread, never here: the view
  // keeps serving the end of the match while the handler waits
  // (server/watch.h). The thread takes the mask it starts with.
  struct SignalsBlocked {
    sigset_t before;
    SignalsBlocked() {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, &before);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
  } blocked;
#endif
  if (view->replay) view->reader.emplace(HttpView::REPLAY_READERS);
  view->thread = std::thread([view] {
    for (;;) {
      try {
        view->io.run();
        return;
      } catch (...) {
        // A connection's failure ends that connection only; serving goes on.
      }
    }
  });
  return std::make_unique<HttpView>(std::move(impl));
}

}  // namespace

HttpView::HttpView(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

std::unique_ptr<HttpView> HttpView::start_live(const std::string& address, uint16_t port,
                                               const Snapshot* snapshot,
                                               const std::atomic<bool>* can_join,
                                               const std::atomic<int64_t>* heartbeat_ns,
                                               std::string* err) noexcept {
  try {
    auto impl = std::make_unique<Impl>();
    impl->snapshot = snapshot;
    impl->can_join = can_join;
    impl->heartbeat_ns = heartbeat_ns;
    return start(std::move(impl), address, port, err);
  } catch (const std::exception& error) {
    *err = std::string("--http: ") + error.what();
    return nullptr;
  } catch (...) {
    *err = "--http: the view could not start";
    return nullptr;
  }
}

std::unique_ptr<HttpView> HttpView::start_replay(const std::string& address, uint16_t port,
                                                 Replay recording, std::string* err) noexcept {
  try {
    auto impl = std::make_unique<Impl>();
    impl->replay = true;
    impl->recording = std::move(recording);
    return start(std::move(impl), address, port, err);
  } catch (const std::exception& error) {
    *err = std::string("--http: ") + error.what();
    return nullptr;
  } catch (...) {
    *err = "--http: the view could not start";
    return nullptr;
  }
}

void HttpView::wait() noexcept {
  try {
    if (impl_->thread.joinable()) impl_->thread.join();
  } catch (...) {
  }
}

HttpView::~HttpView() {
  try {
    impl_->io.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->reader) {
      impl_->reader->stop();
      impl_->reader->join();
    }
  } catch (...) {
  }
}
