#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vn::launcher {

// One TCP connection carrying line-feed-ended lines both ways. Everything
// runs on the I/O context's single thread, callbacks included. The channel
// must outlive the context's run (pending handlers hold `this`); the context
// must not run again after the channel is destroyed.
class LineChannel {
 public:
  using ConnectDone = std::function<void(const std::string& error)>;  // empty error: connected
  using LineHandler = std::function<void(std::string_view line)>;     // without the line feed
  // The connection ended by itself; `framing` when the peer sent a line
  // longer than the limit.
  using EndHandler = std::function<void(const std::string& reason, bool framing)>;

  explicit LineChannel(asio::io_context& io, size_t max_line_bytes = 16384, size_t max_queued_lines = 256);
  LineChannel(const LineChannel&) = delete;
  LineChannel& operator=(const LineChannel&) = delete;

  // Resolves `host` (IPv4) and connects to `port`, retrying every 250 ms
  // while `timeout` has not passed (at least one attempt, each at most 3 s).
  void connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout, ConnectDone done);

  void start_reading(LineHandler on_line, EndHandler on_end);

  // Queues one line (its line feed included). False when closed or when
  // `max_queued_lines` are still unwritten (the peer does not read).
  bool send(std::string line);

  // Writes what is queued, shuts the sending side and waits for the peer to
  // close (lines read meanwhile are dropped), at most `limit`; then closes
  // and calls `done`. No EndHandler call after this.
  void close_gracefully(std::chrono::milliseconds limit, std::function<void()> done);
  // Closes now; no callback afterwards. Harmless twice.
  void close();
  bool is_open() const { return socket_.is_open() && !closed_; }
  // The agent's address once connected (the probes go there too).
  asio::ip::address remote_address() const;

 private:
  void attempt_connect();
  void read_next();
  void write_next();
  void ended(const std::string& reason, bool framing);
  void finish_graceful_close();

  asio::io_context& io_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  asio::streambuf input_;
  size_t max_queued_;
  std::deque<std::string> output_;
  bool writing_ = false;
  bool connected_ = false;
  uint64_t attempt_ = 0;
  bool closed_ = false;
  bool closing_ = false;  // close_gracefully() in progress

  std::vector<asio::ip::tcp::endpoint> endpoints_;
  size_t next_endpoint_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  std::string last_error_;
  ConnectDone connect_done_;
  LineHandler on_line_;
  EndHandler on_end_;
  std::function<void()> close_done_;
};

}  // namespace vn::launcher
