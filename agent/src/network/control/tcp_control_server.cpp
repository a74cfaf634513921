#include "network/control/tcp_control_server.h"

#include <asio/bind_executor.hpp>
#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <nlohmann/json.hpp>
#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <future>
#include <optional>

#include "core/base/log_limit.h"
#include "core/base/log_text.h"
#include "network/control/private_address.h"
#include "network/control/session_keys.h"
#include "network/control/tcp_keepalive.h"
#include "network/control/tcp_listen_options.h"

namespace vn::network {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Pongs waiting behind the one being written; beyond this a launcher that
// does not read its replies gets no more of them.
constexpr size_t kMaxQueuedReplies = 64;

// One handshake I/O step (accept or auth read), shared with its handlers so
// that a late completion cannot be mistaken for a later step's.
struct Step {
  bool done = false;
  bool timed_out = false;  // the step's timer expired and cancelled it
  asio::error_code ec;
  size_t bytes = 0;
};

// When a step's timer cancels it, and the handshake thread's limit for it.
struct StepLimits {
  Clock::time_point cancel_at;
  Clock::time_point deadline;
};

enum class WaitEnd { kDone, kAborted, kDeadline };

// How one launcher connection ended.
enum class Attempt { kAccepted, kTurnedAway, kAborted };

}  // namespace

struct TcpControlServer::State : std::enable_shared_from_this<State> {
  State(asio::io_context& context, std::vector<uint8_t> master, std::string expected_hash_hex,
        TcpControlTimeouts limits)
      : master_key(std::move(master)),
        expected_hash(std::move(expected_hash_hex)),
        io(context),
        strand(asio::make_strand(context)),
        acceptor(context),
        buffer(kMaxLineBytes),
        timeouts(limits) {}

  ~State() {
    wipe(master_key);
    wipe(video_key);
    wipe(audio_key);
    wipe(input_key);
  }

  bool handshake(uint16_t port, const std::function<bool()>& abort);
  void listen_on(uint16_t port);
  // The next connection, or false (error_code set, logged) at the accept
  // deadline or on abort.
  bool accept_next(Clock::time_point start, const std::function<bool()>& abort, bool attempted);
  // One connected launcher's auth line and token check.
  Attempt try_launcher(const std::function<bool()>& abort);
  // The auth line, or empty after a failure (error_code set, logged).
  std::optional<std::string> read_auth_line(const std::function<bool()>& abort);
  bool authenticate(std::string& line, const std::string& remote_address);
  void send_session_ready();
  // Closes a turned-away connection and forgets what it sent.
  void end_attempt();
  // Wipes and consumes the first `bytes` of the receive buffer.
  void wipe_buffer(size_t bytes);
  // Drives the I/O context until `step` completes, `abort` holds or the wait
  // limit passes; at the timer limit an incomplete step is cancelled through
  // `cancel` (it then completes as aborted).
  WaitEnd wait_for(Step& step, StepLimits limits, const std::function<bool()>& abort,
                   const std::function<void()>& cancel);
  // Closes and leaves the I/O context runnable with the cancelled handlers run.
  void fail();

  void read_next();
  void on_read(const asio::error_code& ec, size_t bytes);
  void queue_reply(std::string reply);
  void write_next();

  void stop();
  void close();
  void close_once();

  std::vector<uint8_t> master_key;
  std::string udp_ip;
  std::string expected_hash;
  StreamRequest request;
  SessionError error_code = SessionError::kAuthFail;
  std::atomic<bool> loop_running{false};
  asio::io_context& io;
  asio::strand<asio::io_context::executor_type> strand;
  tcp::acceptor acceptor;
  std::shared_ptr<tcp::socket> socket;
  std::vector<uint8_t> video_key, audio_key, input_key;
  std::atomic<bool> connected{false};
  asio::streambuf buffer;
  ControlCallbacks callbacks;  // read on the strand once the loop runs

  TcpControlTimeouts timeouts;
  std::atomic<bool> stopping{false};
  std::atomic<bool> stop_called{false};
  std::atomic<bool> closed_by_stop{false};
  std::deque<std::shared_ptr<std::string>> replies;  // strand only; front is being written
  LogLimit oversized_lines;                          // strand only
  LogLimit turned_away;                              // handshake thread only
};

// ---- handshake ---------------------------------------------------------------

bool TcpControlServer::State::handshake(uint16_t port, const std::function<bool()>& abort) {
  error_code = SessionError::kAuthFail;
  if (sodium_init() < 0) {
    spdlog::error("TcpControlServer: libsodium init failed");
    return false;
  }
  try {
    listen_on(port);
    // A stray connection (a port scanner, a wrong or stale launcher) does not
    // end the wait: connections are taken one at a time, each with its own
    // auth deadline, until one authenticates or the accept deadline passes.
    const auto start = Clock::now();
    bool attempted = false;
    for (;;) {
      if (!accept_next(start, abort, attempted)) return false;
      attempted = true;
      const Attempt attempt = try_launcher(abort);
      if (attempt == Attempt::kAborted) {
        fail();
        return false;
      }
      if (attempt == Attempt::kAccepted) break;
      end_attempt();
    }
    // One launcher per session: later connection attempts are refused.
    asio::error_code ignored;
    acceptor.close(ignored);
    send_session_ready();
    return true;
  } catch (const std::exception& e) {
    spdlog::error("TcpControlServer: handshake failed: {}", e.what());
  }
  fail();
  return false;
}

void TcpControlServer::State::listen_on(uint16_t port) {
  acceptor.open(tcp::v4());
  if (listener_reuses_address()) acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), port));
  acceptor.listen(1);
  spdlog::info("TcpControlServer: listening on port {}, waiting for client ({}s accept deadline)...", port,
               std::chrono::duration_cast<std::chrono::seconds>(timeouts.accept_timer).count());
}

bool TcpControlServer::State::accept_next(Clock::time_point start, const std::function<bool()>& abort,
                                          bool attempted) {
  socket = std::make_shared<tcp::socket>(io);
  auto step = std::make_shared<Step>();
  auto self = shared_from_this();  // the handlers keep the socket and buffer alive
  acceptor.async_accept(*socket, [self, step](const asio::error_code& ec) {
    step->done = true;
    step->ec = ec;
  });
  const WaitEnd end = wait_for(*step, {start + timeouts.accept_timer, start + timeouts.accept_wait}, abort, [this] {
    asio::error_code ignored;
    acceptor.cancel(ignored);
  });
  if (end == WaitEnd::kDone && !step->ec) return true;

  asio::error_code ignored;
  acceptor.cancel(ignored);
  if (end == WaitEnd::kAborted) {
    error_code = SessionError::kSessionAborted;
    spdlog::warn("TcpControlServer: accept aborted (session ending / shutdown)");
  } else {
    // After turned-away connections the last one's code says more than a timeout.
    if (!attempted) error_code = SessionError::kHandshakeTimeout;
    const bool timeout = end == WaitEnd::kDeadline || step->timed_out;
    spdlog::error("TcpControlServer: accept failed: {}", timeout ? std::string("timeout") : step->ec.message());
  }
  fail();
  return false;
}

Attempt TcpControlServer::State::try_launcher(const std::function<bool()>& abort) {
  asio::error_code ec;
  const tcp::endpoint remote = socket->remote_endpoint(ec);
  if (ec) {
    error_code = SessionError::kAuthFail;  // gone before it could be looked at
    return Attempt::kTurnedAway;
  }
  socket->set_option(tcp::no_delay(true), ec);
  if (!enable_keepalive(*socket)) spdlog::warn("TcpControlServer: could not enable TCP keep-alive on the connection");
  const std::string remote_address = remote.address().to_string();
  spdlog::info("TcpControlServer: client connected from {}:{}", remote_address, remote.port());

  std::optional<std::string> line = read_auth_line(abort);
  if (error_code == SessionError::kSessionAborted) return Attempt::kAborted;
  if (line && authenticate(*line, remote_address)) return Attempt::kAccepted;
  if (turned_away.next()) {
    spdlog::warn("TcpControlServer: connection from {}:{} turned away ({}) - still waiting for the launcher ({} so far)",
                 remote_address, remote.port(), to_text(error_code), turned_away.count());
  }
  return Attempt::kTurnedAway;
}

std::optional<std::string> TcpControlServer::State::read_auth_line(const std::function<bool()>& abort) {
  auto step = std::make_shared<Step>();
  auto self = shared_from_this();  // the handlers keep the socket and buffer alive
  asio::async_read_until(*socket, buffer, '\n', [self, step](const asio::error_code& ec, size_t bytes) {
    step->done = true;
    step->ec = ec;
    step->bytes = bytes;
  });
  const auto start = Clock::now();
  const WaitEnd end = wait_for(*step, {start + timeouts.auth_timer, start + timeouts.auth_wait}, abort, [this] {
    asio::error_code ignored;
    socket->cancel(ignored);
  });
  if (end == WaitEnd::kDone && !step->ec) {
    std::string line(asio::buffers_begin(buffer.data()), asio::buffers_begin(buffer.data()) + (step->bytes - 1));
    wipe_buffer(step->bytes);  // what follows the line is the first control message
    return line;
  }
  if (end == WaitEnd::kAborted) {
    error_code = SessionError::kSessionAborted;
    spdlog::warn("TcpControlServer: auth read aborted (session ending / shutdown)");
  } else if (end == WaitEnd::kDone && step->ec == asio::error::not_found && !step->timed_out) {
    // The buffer filled up without a line feed: the line is too large.
    error_code = SessionError::kAuthRejected;
    spdlog::error("TcpControlServer: auth message too large ({} bytes) — rejecting", buffer.size());
  } else {
    error_code = SessionError::kHandshakeTimeout;
    const bool timeout = end == WaitEnd::kDeadline || step->timed_out;
    spdlog::error("TcpControlServer: auth read failed: {}", timeout ? std::string("timeout") : step->ec.message());
  }
  return std::nullopt;
}

bool TcpControlServer::State::authenticate(std::string& line, const std::string& remote_address) {
  AuthLineResult parsed = parse_auth_line(line);
  wipe(line);
  if (parsed.status == AuthLineStatus::kJsonError) {
    spdlog::error("TcpControlServer: JSON parse error: {}", parsed.detail);
    error_code = SessionError::kAuthRejected;
    return false;
  }
  if (parsed.status == AuthLineStatus::kNotAuth) {
    spdlog::error("TcpControlServer: expected 'auth' message, got '{}'", loggable(parsed.detail));
    error_code = SessionError::kAuthRejected;
    return false;
  }

  request = parsed.auth.stream;
  udp_ip = reconcile_udp_ip(parsed.auth.udp_ip, remote_address);
  spdlog::info("TcpControlServer: auth request — codec={} {}x{} @{}fps {}kbps", request.codec, request.width,
               request.height, request.fps, request.bitrate_kbps);

  const bool accepted = verify_launcher_token(parsed.auth.token, expected_hash);
  wipe(parsed.auth.token);
  if (!accepted) {
    error_code = SessionError::kAuthRejected;
    return false;
  }
  return true;
}

void TcpControlServer::State::send_session_ready() {
  make_session_keys(master_key, video_key, audio_key, input_key);
  std::string ready = session_ready_line(video_key, audio_key, input_key);
  try {
    asio::write(*socket, asio::buffer(ready));
  } catch (...) {
    wipe(ready);
    throw;
  }
  wipe(ready);
  connected = true;
  spdlog::info("TcpControlServer: handshake complete, session keys sent");
  if (io.stopped()) io.restart();
}

void TcpControlServer::State::end_attempt() {
  asio::error_code ignored;
  socket->shutdown(tcp::socket::shutdown_both, ignored);
  socket->close(ignored);
  // Runs the closed socket's cancelled handler before the next accept.
  io.restart();
  io.poll();
  io.restart();
  wipe_buffer(buffer.size());
}

void TcpControlServer::State::wipe_buffer(size_t bytes) {
  // The bytes stay in the buffer's storage after consume(): wipe them first.
  const auto data = buffer.data();
  size_t left = std::min(bytes, buffer.size());
  for (auto part = asio::buffer_sequence_begin(data); part != asio::buffer_sequence_end(data) && left > 0; ++part) {
    const size_t n = std::min(left, part->size());
    sodium_memzero(const_cast<void*>(part->data()), n);
    left -= n;
  }
  buffer.consume(bytes);
}

// The step's timer is kept here rather than as an asio timer: the handshake
// thread wakes every slice anyway, and an io_context without timers starts no
// timer thread on Windows (whose join hangs now and then under Wine when the
// context is destroyed).
WaitEnd TcpControlServer::State::wait_for(Step& step, StepLimits limits, const std::function<bool()>& abort,
                                          const std::function<void()>& cancel) {
  const auto cancel_at = limits.cancel_at;
  const auto deadline = limits.deadline;
  if (step.done) return WaitEnd::kDone;
  for (;;) {
    if (io.stopped()) io.restart();
    const auto now = Clock::now();
    auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(timeouts.wait_slice);
    if (!step.timed_out && cancel_at > now) slice = std::min(slice, std::chrono::duration_cast<std::chrono::nanoseconds>(cancel_at - now));
    io.run_for(slice);
    if (abort && abort()) return WaitEnd::kAborted;
    if (Clock::now() >= deadline) return WaitEnd::kDeadline;
    if (step.done) return WaitEnd::kDone;
    if (!step.timed_out && Clock::now() >= cancel_at) {
      step.timed_out = true;
      cancel();
    }
  }
}

void TcpControlServer::State::fail() {
  close();
  io.restart();
  io.poll();
  io.restart();
}

// ---- control loop ------------------------------------------------------------

void TcpControlServer::State::read_next() {
  if (stopping) return;
  auto self = shared_from_this();
  asio::async_read_until(*socket, buffer, '\n',
                         asio::bind_executor(strand, [self](const asio::error_code& ec, size_t bytes) {
                           self->on_read(ec, bytes);
                         }));
}

void TcpControlServer::State::on_read(const asio::error_code& ec, size_t bytes) {
  if (stopping) return;
  if (ec) {
    // Log first: whoever sees connected() turn false may rely on the reason being logged.
    if (ec == asio::error::timed_out) {
      spdlog::warn("TcpControlServer: the launcher stopped answering keep-alive probes");
    } else if (ec != asio::error::operation_aborted) {
      spdlog::warn("TcpControlServer: read error: {}", ec.message());
    }
    connected = false;
    return;
  }
  const std::string line(asio::buffers_begin(buffer.data()), asio::buffers_begin(buffer.data()) + (bytes - 1));
  buffer.consume(bytes);
  auto self = shared_from_this();
  const ControlLineResult result =
      dispatch_control_line(line, callbacks, [self](std::string reply) { self->queue_reply(std::move(reply)); });
  if (result == ControlLineResult::kOversized && oversized_lines.next()) {
    spdlog::warn("TcpControlServer: oversized control message ({} bytes) — ignoring", line.size());
  }
  read_next();
}

void TcpControlServer::State::queue_reply(std::string reply) {
  if (replies.size() > kMaxQueuedReplies) {
    spdlog::debug("TcpControlServer: launcher is not reading its replies — dropping a pong");
    return;
  }
  replies.push_back(std::make_shared<std::string>(std::move(reply)));
  if (replies.size() == 1) write_next();
}

void TcpControlServer::State::write_next() {
  auto self = shared_from_this();
  std::shared_ptr<std::string> text = replies.front();
  asio::async_write(*socket, asio::buffer(*text),
                    asio::bind_executor(strand, [self, text](const asio::error_code& ec, size_t) {
                      if (ec) {
                        self->replies.clear();
                        return;
                      }
                      self->replies.pop_front();
                      if (!self->replies.empty()) self->write_next();
                    }));
}

// ---- stop / close ------------------------------------------------------------

void TcpControlServer::State::stop() {
  if (stop_called.exchange(true)) return;
  stopping = true;
  connected = false;
  if (!loop_running) {
    close_once();
    callbacks = {};  // no handler reads them before the loop starts
  } else if (strand.running_in_this_thread()) {
    // Called from a callback: the handler that runs it must not lose it.
    close_once();
    auto self = shared_from_this();
    asio::post(strand, [self] { self->callbacks = {}; });
  } else if (!io.stopped()) {
    auto ran = std::make_shared<std::promise<void>>();
    std::future<void> ran_future = ran->get_future();
    auto self = shared_from_this();
    asio::post(strand, [self, ran] {
      self->close_once();
      self->callbacks = {};
      ran->set_value();
    });
    if (ran_future.wait_for(timeouts.stop_wait) != std::future_status::ready) close_once();
  } else {
    // Nothing runs the strand; the callbacks go with the last handler.
    close_once();
  }
  spdlog::info("TcpControlServer: closed");
}

void TcpControlServer::State::close_once() {
  if (!closed_by_stop.exchange(true)) close();
}

void TcpControlServer::State::close() {
  asio::error_code ignored;
  if (socket && socket->is_open()) {
    socket->shutdown(tcp::socket::shutdown_both, ignored);
    socket->close(ignored);
  }
  if (acceptor.is_open()) {
    acceptor.cancel(ignored);
    acceptor.close(ignored);
  }
}

// ---- public face -------------------------------------------------------------

TcpControlServer::TcpControlServer(asio::io_context& io, std::vector<uint8_t> master_key,
                                   std::string expected_token_sha256, TcpControlTimeouts timeouts)
    : state_(std::make_shared<State>(io, std::move(master_key), std::move(expected_token_sha256), timeouts)) {}

TcpControlServer::~TcpControlServer() { state_->stop(); }

bool TcpControlServer::handshake(uint16_t port, const std::function<bool()>& abort) {
  return state_->handshake(port, abort);
}

std::string TcpControlServer::udp_destination() const {
  std::string tcp_address;
  if (state_->socket && state_->socket->is_open()) {
    asio::error_code ec;
    const tcp::endpoint remote = state_->socket->remote_endpoint(ec);
    if (!ec) tcp_address = remote.address().to_string();
  }
  return choose_udp_destination(state_->udp_ip, tcp_address);
}

const std::vector<uint8_t>& TcpControlServer::video_key() const { return state_->video_key; }
const std::vector<uint8_t>& TcpControlServer::audio_key() const { return state_->audio_key; }
const std::vector<uint8_t>& TcpControlServer::input_key() const { return state_->input_key; }
SessionError TcpControlServer::error_code() const { return state_->error_code; }
bool TcpControlServer::connected() const { return state_->connected; }
const StreamRequest& TcpControlServer::stream_request() const { return state_->request; }
const std::string& TcpControlServer::udp_ip() const { return state_->udp_ip; }

void TcpControlServer::set_stats_callback(std::function<void(const ClientStats&)> callback) {
  state_->callbacks.stats = std::move(callback);
}
void TcpControlServer::set_command_callback(std::function<void(const std::string&)> callback) {
  state_->callbacks.command = std::move(callback);
}
void TcpControlServer::set_settings_callback(std::function<void(const SettingsChange&)> callback) {
  state_->callbacks.settings = std::move(callback);
}

void TcpControlServer::start_control_loop() {
  State& s = *state_;
  if (!s.socket || !s.socket->is_open() || s.stopping || s.loop_running.exchange(true)) return;
  auto self = state_;
  asio::post(s.strand, [self] { self->read_next(); });
}

void TcpControlServer::stop() { state_->stop(); }

void TcpControlServer::close() { state_->close(); }

}  // namespace vn::network
