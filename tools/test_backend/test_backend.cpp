// The server runs on one io_context thread; all connection state lives there.
// Public calls post to it: sends go through one write queue per connection
// (text, fragments, ping, close and raw bytes never overlap), and the caller
// waits on a future. No asio timers anywhere (see the Wine note in
// tools/README.md); waits are a mutex and a condition variable.
//
// Choices the header leaves open:
// - The previous connection is closed as soon as a new TCP connection is
//   accepted, whatever state either is in.
// - send_raw() and drop() also work on a connection still in its upgrade
//   (e.g. under kNeverAnswer); the other sends need an accepted connection.
// - send_close() returns once the close frame is handed to the socket; the
//   connection ends when the agent answers it or closes TCP. Nothing but raw
//   bytes can be sent after it.
#include "test_backend.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket.hpp>

namespace vn::tools {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// Upper bound of an upgrade request (request line + headers); larger ones get a 400.
constexpr size_t kMaxRequestBytes = 64 * 1024;
// Beast's own message cap, kept far above anything the agent should accept, so
// tests of the agent's limits see its behaviour, not ours.
constexpr uint64_t kReadMessageMax = 64ull * 1024 * 1024;
// What RFC 6455 allows in a control frame.
constexpr size_t kMaxPingPayload = 125;
constexpr size_t kMaxCloseReason = 123;

constexpr const char kGarbageAnswer[] = "\x16\x03\x01 this is no HTTP answer \xff\xfe\x00\r\n\r\n";

void log_error(const std::string& what) {
  std::fprintf(stderr, "test_backend: %s\n", what.c_str());
  std::fflush(stderr);
}

std::string http_error(int status, const char* reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// Lines of a request head that ends with CR LF CR LF, without the empty last one.
std::vector<std::string> split_lines(const std::string& raw) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(raw.substr(pos));
      break;
    }
    lines.push_back(raw.substr(pos, end - pos));
    pos = end + 2;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// Errors that end a connection in the ordinary way (peer closed, we closed).
bool ordinary_end(const error_code& ec) {
  return ec == websocket::error::closed || ec == net::error::eof || ec == net::error::operation_aborted ||
         ec == net::error::connection_reset || ec == net::error::connection_aborted ||
         ec == net::error::broken_pipe || ec == net::error::bad_descriptor;
}

// A caller's wait for one queued operation. The promise is settled exactly
// once: with the result, or with false when the operation is dropped unrun
// (io_context torn down, connection gone).
class Completion {
 public:
  Completion() : state_(std::make_shared<State>()) {}
  std::future<bool> future() { return state_->promise.get_future(); }
  void set(bool ok) const { state_->set(ok); }

 private:
  struct State {
    std::promise<bool> promise;
    std::mutex mutex;
    bool done = false;
    void set(bool ok) {
      std::lock_guard lock(mutex);
      if (done) return;
      done = true;
      promise.set_value(ok);
    }
    ~State() { set(false); }
  };
  std::shared_ptr<State> state_;
};

struct Job {
  enum class Kind { kText, kFragments, kPing, kClose, kRaw };
  Kind kind = Kind::kText;
  std::string data;
  size_t pieces = 1;
  uint16_t code = 0;
  Completion done;
  // kFragments progress.
  size_t offset = 0;
  size_t sent_pieces = 0;
};

struct Conn {
  explicit Conn(net::io_context& io) : ws(io) {}

  websocket::stream<tcp::socket> ws;  // the socket is its next layer from the start
  std::string in;                      // bytes read before the upgrade
  std::string head;                    // the request head, up to the empty line
  std::string out;                     // an HTTP answer being written
  std::string leftover;                // bytes after the request head
  http::request<http::string_body> request;
  beast::flat_buffer read_buffer;
  std::array<char, 4096> discard{};
  size_t request_index = 0;
  uint64_t request_generation = 0;
  int number = 0;         // accepted connection number, 0 before the 101
  int answer_status = 0;  // the status Beast answered the upgrade with
  bool open = true;       // the socket is not closed yet
  bool upgraded = false;
  bool close_sent = false;
  std::deque<Job> jobs;   // front() is being written while `writing`
  bool writing = false;
};

}  // namespace

struct TestBackend::Impl {
  explicit Impl(TestBackendOptions o) : options(std::move(o)) {}

  TestBackendOptions options;
  net::io_context io;
  tcp::acceptor acceptor{io};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
  std::thread thread;
  std::atomic<std::thread::id> io_thread_id{};

  // Server-thread state.
  std::shared_ptr<Conn> current;
  bool stopping = false;

  // Shared state, under `mutex`.
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  uint16_t bound_port = 0;
  UpgradeMode mode = UpgradeMode::kAccept;
  std::string raw_response;
  std::function<void(const TestBackendEvent&)> handler;
  bool connected = false;
  int connection_count = 0;
  uint64_t generation = 0;  // bumped by clear()
  std::vector<UpgradeRequest> requests;
  std::vector<ReceivedMessage> messages;
  std::vector<std::string> pongs;

  bool on_io_thread() const { return io_thread_id.load() == std::this_thread::get_id(); }

  void emit(TestBackendEvent::Kind kind, int connection, std::string detail) {
    TestBackendEvent e;
    e.kind = kind;
    e.connection = connection;
    e.detail = std::move(detail);
    emit(e);
  }

  void emit(const TestBackendEvent& event) {
    std::function<void(const TestBackendEvent&)> h;
    {
      std::lock_guard lock(mutex);
      h = handler;
    }
    if (!h) return;
    try {
      h(event);
    } catch (const std::exception& e) {
      log_error(std::string("event handler threw: ") + e.what());
    }
  }

  // ---------------------------------------------------------------- accept

  void accept_next() {
    auto conn = std::make_shared<Conn>(io);
    acceptor.async_accept(conn->ws.next_layer(), [this, conn](const error_code& ec) {
      if (stopping || !acceptor.is_open()) return;
      if (ec) {
        if (ec != net::error::operation_aborted) log_error("accept: " + ec.message());
        accept_next();
        return;
      }
      // One agent connection at a time: a new one replaces the previous.
      if (current) end_connection(current, "replaced by a new connection");
      current = conn;
      read_request(conn);
      accept_next();
    });
  }

  void read_request(const std::shared_ptr<Conn>& c) {
    net::async_read_until(c->ws.next_layer(), net::dynamic_buffer(c->in, kMaxRequestBytes), "\r\n\r\n",
                          [this, c](const error_code& ec, size_t n) { on_request(c, ec, n); });
  }

  void on_request(const std::shared_ptr<Conn>& c, const error_code& ec, size_t n) {
    if (!c->open) return;
    if (ec == net::error::not_found) {  // no empty line within the size cap
      record_request(c, c->in);
      emit_rejected(400, "");
      answer_and_close(c, http_error(400, "Bad Request"));
      return;
    }
    if (ec) {
      end_connection(c, "closed before a complete upgrade request: " + ec.message());
      return;
    }
    c->head = c->in.substr(0, n);
    c->leftover = c->in.substr(n);
    c->in.clear();
    const std::string& raw = c->head;

    http::request_parser<http::string_body> parser;
    parser.eager(true);
    parser.header_limit(static_cast<std::uint32_t>(kMaxRequestBytes));
    error_code pec;
    parser.put(net::buffer(raw), pec);
    const bool parsed = parser.is_header_done();
    if (parsed) c->request = parser.release();

    record_request(c, raw);
    UpgradeMode m;
    std::string raw_answer;
    {
      std::lock_guard lock(mutex);
      m = mode;
      raw_answer = raw_response;
    }
    switch (m) {
      case UpgradeMode::kNeverAnswer:
        discard_until_closed(c);
        return;
      case UpgradeMode::kGarbage:
        answer_and_close(c, std::string(kGarbageAnswer, sizeof kGarbageAnswer - 1));
        return;
      case UpgradeMode::kRawResponse:
        answer_and_close(c, raw_answer);
        return;
      case UpgradeMode::kAccept:
        break;
    }
    const std::string target = parsed ? std::string(c->request.target()) : std::string();
    if (!parsed) {
      emit_rejected(400, target);
      answer_and_close(c, http_error(400, "Bad Request"));
      return;
    }
    if (target != options.path) {
      emit_rejected(404, target);
      answer_and_close(c, http_error(404, "Not Found"));
      return;
    }
    if (!options.agent_token.empty()) {
      auto it = c->request.find("agent-token");
      if (it == c->request.end() || std::string(it->value()) != options.agent_token) {
        emit_rejected(401, target);
        answer_and_close(c, http_error(401, "Unauthorized"));
        return;
      }
    }
    upgrade(c);
  }

  void record_request(const std::shared_ptr<Conn>& c, const std::string& raw) {
    UpgradeRequest r;
    r.raw = raw;
    r.lines = split_lines(raw);
    if (!c->request.target().empty()) {
      r.target = std::string(c->request.target());
      auto it = c->request.find("agent-token");
      if (it != c->request.end()) r.agent_token = std::string(it->value());
    } else if (!r.lines.empty()) {
      // Unparsed: the second word of the request line, for the record.
      const std::string& line = r.lines.front();
      size_t a = line.find(' ');
      if (a != std::string::npos) {
        size_t b = line.find(' ', a + 1);
        r.target = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      }
    }
    std::lock_guard lock(mutex);
    c->request_index = requests.size();
    c->request_generation = generation;
    requests.push_back(std::move(r));
    changed.notify_all();
  }

  void emit_rejected(int status, const std::string& target) {
    TestBackendEvent e;
    e.kind = TestBackendEvent::Kind::kRejected;
    e.status = status;
    e.detail = target;
    emit(e);
  }

  void answer_and_close(const std::shared_ptr<Conn>& c, std::string bytes) {
    c->out = std::move(bytes);
    net::async_write(c->ws.next_layer(), net::buffer(c->out), [this, c](const error_code& ec, size_t) {
      // Half-close first so the peer reads the answer before the end.
      error_code ignored;
      if (!ec) c->ws.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
      end_connection(c, ec ? "answer not written: " + ec.message() : "answered");
    });
  }

  void discard_until_closed(const std::shared_ptr<Conn>& c) {
    c->ws.next_layer().async_read_some(net::buffer(c->discard), [this, c](const error_code& ec, size_t) {
      if (!c->open) return;
      if (ec) {
        end_connection(c, "closed while unanswered");
        return;
      }
      discard_until_closed(c);
    });
  }

  void upgrade(const std::shared_ptr<Conn>& c) {
    c->ws.read_message_max(kReadMessageMax);
    c->ws.auto_fragment(false);
    Conn* raw = c.get();  // the callbacks are owned by the stream: no shared_ptr cycle
    c->ws.set_option(websocket::stream_base::decorator(
        [raw](websocket::response_type& res) { raw->answer_status = res.result_int(); }));
    c->ws.control_callback([this, raw](websocket::frame_type kind, beast::string_view payload) {
      if (kind != websocket::frame_type::pong) return;
      std::string p(payload);
      {
        std::lock_guard lock(mutex);
        pongs.push_back(p);
        changed.notify_all();
      }
      emit(TestBackendEvent::Kind::kPong, raw->number, std::move(p));
    });
    auto done = [this, c](const error_code& ec) { on_upgraded(c, ec); };
    if (c->leftover.empty()) {
      c->ws.async_accept(c->request, done);
    } else {
      // Frames sent right behind the request: let Beast parse the request
      // again from bytes that keep them, so they stay in its read buffer.
      // (Beast copies them into its read buffer, which holds 1536 bytes:
      // more fails the upgrade with buffer_overflow.)
      c->leftover.insert(0, c->head);
      c->ws.async_accept(net::buffer(c->leftover), done);
    }
  }

  void on_upgraded(const std::shared_ptr<Conn>& c, const error_code& ec) {
    if (!c->open) return;
    if (ec) {
      if (c->answer_status != 0 && c->answer_status != 101)
        emit_rejected(c->answer_status, std::string(c->request.target()));
      end_connection(c, "upgrade failed: " + ec.message());
      return;
    }
    c->upgraded = true;
    std::string token;
    if (auto it = c->request.find("agent-token"); it != c->request.end()) token = std::string(it->value());
    {
      std::lock_guard lock(mutex);
      c->number = ++connection_count;
      connected = (current == c);
      if (c->request_generation == generation && c->request_index < requests.size())
        requests[c->request_index].accepted = true;
      changed.notify_all();
    }
    emit(TestBackendEvent::Kind::kConnected, c->number, token);
    read_next(c);
    pump(c);
  }

  // ---------------------------------------------------------------- reading

  void read_next(const std::shared_ptr<Conn>& c) {
    c->ws.async_read(c->read_buffer, [this, c](const error_code& ec, size_t) {
      if (!c->open) return;
      if (ec) {
        std::string why;
        if (ec == websocket::error::closed) {
          const auto& reason = c->ws.reason();
          why = "close frame " + std::to_string(reason.code) +
                (reason.reason.empty() ? std::string() : " " + std::string(reason.reason.data(), reason.reason.size()));
        } else {
          why = ec.message();
          if (!ordinary_end(ec)) log_error("connection #" + std::to_string(c->number) + ": " + why);
        }
        end_connection(c, why);
        return;
      }
      ReceivedMessage m;
      m.connection = c->number;
      m.text = beast::buffers_to_string(c->read_buffer.data());
      c->read_buffer.consume(c->read_buffer.size());
      m.json = nlohmann::json::parse(m.text, nullptr, false);
      if (m.json.is_object()) {
        auto it = m.json.find("type");
        if (it != m.json.end() && it->is_string()) m.type = it->get<std::string>();
      }
      m.at = std::chrono::steady_clock::now();
      {
        std::lock_guard lock(mutex);
        messages.push_back(m);
        changed.notify_all();
      }
      TestBackendEvent e;
      e.kind = TestBackendEvent::Kind::kMessage;
      e.connection = m.connection;
      e.message = std::move(m);
      emit(e);
      read_next(c);
    });
  }

  // ---------------------------------------------------------------- writing

  // Starts the front job unless one is being written. Runs on the server thread.
  void pump(const std::shared_ptr<Conn>& c) {
    if (c->writing || c->jobs.empty()) return;
    if (!c->open) {
      for (auto& j : c->jobs) j.done.set(false);
      c->jobs.clear();
      return;
    }
    Job& j = c->jobs.front();
    const bool needs_ws = j.kind != Job::Kind::kRaw;
    if (needs_ws && (!c->upgraded || c->close_sent)) {
      finish_job(c, false);
      return;
    }
    c->writing = true;
    auto after = [this, c](const error_code& ec, size_t = 0) { finish_job(c, !ec); };
    switch (j.kind) {
      case Job::Kind::kText:
        c->ws.text(true);
        c->ws.async_write(net::buffer(j.data), after);
        break;
      case Job::Kind::kFragments:
        c->ws.text(true);
        write_fragment(c);
        break;
      case Job::Kind::kPing:
        c->ws.async_ping(websocket::ping_data(j.data.data(), j.data.size()),
                         [after](const error_code& ec) { after(ec); });
        break;
      case Job::Kind::kClose: {
        // Beast completes async_close only once the agent answered the close
        // frame (or the TCP connection ended). The caller gets its answer as
        // soon as the frame is handed to the socket; the rest goes on here.
        c->close_sent = true;
        websocket::close_reason reason(j.code);
        reason.reason = websocket::reason_string(j.data.data(), j.data.size());
        c->ws.async_close(reason, [this, c](const error_code& ec) {
          if (!c->open) return;
          end_connection(c, ec ? "closed by us: " + ec.message() : "closed by us");
        });
        finish_job(c, true);
        break;
      }
      case Job::Kind::kRaw:
        net::async_write(c->ws.next_layer(), net::buffer(j.data), after);
        break;
    }
  }

  void write_fragment(const std::shared_ptr<Conn>& c) {
    Job& j = c->jobs.front();
    const size_t left_pieces = j.pieces - j.sent_pieces;
    const size_t left_bytes = j.data.size() - j.offset;
    const size_t n = left_pieces <= 1 ? left_bytes : left_bytes / left_pieces;
    const bool fin = left_pieces <= 1;
    c->ws.async_write_some(fin, net::buffer(j.data.data() + j.offset, n),
                           [this, c, n, fin](const error_code& ec, size_t) {
                             if (ec || fin || !c->open) {
                               finish_job(c, !ec && c->open);
                               return;
                             }
                             Job& job = c->jobs.front();
                             job.offset += n;
                             ++job.sent_pieces;
                             write_fragment(c);
                           });
  }

  void finish_job(const std::shared_ptr<Conn>& c, bool ok) {
    if (c->jobs.empty()) return;
    c->jobs.front().done.set(ok);
    c->jobs.pop_front();
    c->writing = false;
    pump(c);
  }

  // Queues `job` on the current connection; waits for it unless on the server thread.
  bool submit(Job job, bool needs_upgrade) {
    auto future = job.done.future();
    {
      // Posted under the lock that stop() clears `running` under: whatever is
      // posted runs before the server thread ends.
      std::lock_guard lock(mutex);
      if (!running) return false;
      if (needs_upgrade && !connected) return false;
      net::post(io, [this, job = std::move(job), needs_upgrade]() mutable {
        if (stopping || !current || !current->open || (needs_upgrade && !current->upgraded)) {
          job.done.set(false);
          return;
        }
        current->jobs.push_back(std::move(job));
        pump(current);
      });
    }
    if (on_io_thread()) return true;
    try {
      return future.get();
    } catch (const std::future_error&) {
      return false;
    }
  }

  // ---------------------------------------------------------------- ending

  // Closes the socket (no close frame) and settles everything that waited on it.
  void end_connection(std::shared_ptr<Conn> c, const std::string& why) {  // by value: may be `current`
    if (!c->open) return;
    c->open = false;
    error_code ignored;
    c->ws.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    c->ws.next_layer().close(ignored);
    pump(c);  // fails what is queued; a write in flight completes with an error
    const bool was_current = current == c;
    if (was_current) current.reset();
    if (!c->upgraded) return;
    {
      std::lock_guard lock(mutex);
      if (was_current) connected = false;
      changed.notify_all();
    }
    emit(TestBackendEvent::Kind::kDisconnected, c->number, why);
  }

  void run() {
    io_thread_id.store(std::this_thread::get_id());
    for (;;) {
      try {
        io.run();
        break;
      } catch (const std::exception& e) {
        log_error(std::string("server thread: ") + e.what());
      }
    }
    io_thread_id.store(std::thread::id{});
  }
};

TestBackend::TestBackend(TestBackendOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

TestBackend::~TestBackend() { stop(); }

bool TestBackend::start() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.mutex);
    if (d.running) return true;
  }
  error_code ec;
  std::string host = d.options.bind_address == "localhost" ? "127.0.0.1" : d.options.bind_address;
  auto address = net::ip::make_address(host, ec);
  if (ec) {
    log_error("bad bind address '" + d.options.bind_address + "' (want a numeric IPv4 or IPv6 address)");
    return false;
  }
  tcp::endpoint endpoint(address, d.options.port);
  d.acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  // (On Windows SO_REUSEADDR lets another socket take the port: not there.)
  if (!ec) d.acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) d.acceptor.bind(endpoint, ec);
  if (!ec) d.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    log_error("cannot listen on " + d.options.bind_address + ":" + std::to_string(d.options.port) + ": " +
              ec.message());
    error_code ignored;
    d.acceptor.close(ignored);
    return false;
  }
  uint16_t port = d.acceptor.local_endpoint(ec).port();
  {
    std::lock_guard lock(d.mutex);
    d.running = true;
    d.bound_port = port;
  }
  d.stopping = false;
  d.io.restart();
  d.work.emplace(net::make_work_guard(d.io));
  d.accept_next();
  d.thread = std::thread([&d] { d.run(); });
  return true;
}

void TestBackend::stop() {
  Impl& d = *impl_;
  if (d.on_io_thread()) {
    log_error("stop() called on the server thread (an event handler); ignored");
    return;
  }
  {
    std::lock_guard lock(d.mutex);
    if (!d.running) return;
    d.running = false;
  }
  net::post(d.io, [&d] {
    d.stopping = true;
    error_code ignored;
    d.acceptor.close(ignored);
    if (d.current) d.end_connection(d.current, "server stopped");
  });
  d.work.reset();
  if (d.thread.joinable()) d.thread.join();
  std::lock_guard lock(d.mutex);
  d.connected = false;
  d.changed.notify_all();
}

uint16_t TestBackend::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bound_port;
}

void TestBackend::set_event_handler(std::function<void(const TestBackendEvent&)> handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

void TestBackend::set_upgrade_mode(UpgradeMode mode, std::string raw_response) {
  std::lock_guard lock(impl_->mutex);
  impl_->mode = mode;
  impl_->raw_response = std::move(raw_response);
}

bool TestBackend::send_text(const std::string& text) {
  Job j;
  j.kind = Job::Kind::kText;
  j.data = text;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_json(const nlohmann::json& message) {
  return send_text(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

bool TestBackend::send_fragmented(const std::string& text, size_t pieces) {
  if (pieces == 0) {
    log_error("send_fragmented: zero pieces");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kFragments;
  j.data = text;
  j.pieces = std::min(pieces, std::max<size_t>(text.size(), 1));
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_ping(const std::string& payload) {
  if (payload.size() > kMaxPingPayload) {
    log_error("send_ping: payload over 125 bytes (use send_raw for oversized control frames)");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kPing;
  j.data = payload;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_close(uint16_t code, const std::string& reason) {
  if (reason.size() > kMaxCloseReason) {
    log_error("send_close: reason over 123 bytes (use send_raw for oversized control frames)");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kClose;
  j.code = code;
  j.data = reason;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_raw(const std::string& bytes) {
  Job j;
  j.kind = Job::Kind::kRaw;
  j.data = bytes;
  return impl_->submit(std::move(j), false);
}

bool TestBackend::drop() {
  Impl& d = *impl_;
  Completion done;
  auto future = done.future();
  {
    std::lock_guard lock(d.mutex);  // as in submit()
    if (!d.running) return false;
    // Not through the write queue: a write stuck on a full socket must not hold it up.
    net::post(d.io, [&d, done] {
      if (d.stopping || !d.current) {
        done.set(false);
        return;
      }
      d.end_connection(d.current, "dropped by us");
      done.set(true);
    });
  }
  if (d.on_io_thread()) return true;
  try {
    return future.get();
  } catch (const std::future_error&) {
    return false;
  }
}

bool TestBackend::wait_connections(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->connection_count >= count; });
}

bool TestBackend::wait_disconnected(std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return !impl_->connected; });
}

std::optional<ReceivedMessage> TestBackend::wait_message(const std::function<bool(const ReceivedMessage&)>& match,
                                                         std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  std::optional<ReceivedMessage> found;
  impl_->changed.wait_for(lock, timeout, [&] {
    for (const auto& m : impl_->messages) {
      if (match(m)) {
        found = m;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<ReceivedMessage> TestBackend::wait_type(const std::string& type, std::chrono::milliseconds timeout,
                                                      int nth) {
  std::unique_lock lock(impl_->mutex);
  std::optional<ReceivedMessage> found;
  impl_->changed.wait_for(lock, timeout, [&] {
    int seen = 0;
    for (const auto& m : impl_->messages) {
      if (m.type == type && ++seen >= nth) {
        found = m;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool TestBackend::connected() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connected;
}

int TestBackend::connection_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connection_count;
}

std::vector<UpgradeRequest> TestBackend::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<ReceivedMessage> TestBackend::messages() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->messages;
}

std::vector<ReceivedMessage> TestBackend::messages_of(const std::string& type) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<ReceivedMessage> out;
  for (const auto& m : impl_->messages)
    if (m.type == type) out.push_back(m);
  return out;
}

std::vector<std::string> TestBackend::pongs() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pongs;
}

void TestBackend::clear() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
  impl_->messages.clear();
  impl_->pongs.clear();
  impl_->connection_count = 0;
  ++impl_->generation;
}

}  // namespace vn::tools
