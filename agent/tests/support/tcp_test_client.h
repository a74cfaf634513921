#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/streambuf.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "network/control/tcp_control_server.h"

namespace vn::test {

// A loopback port that was free a moment ago (bound to port 0, then released).
uint16_t free_tcp_port();

// Polls `done` every few milliseconds until it holds or `guard` passes.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds guard = std::chrono::seconds(10));

// The launcher's side of the control connection, on its own I/O context.
// Every call gives up after the hang guard instead of blocking for ever.
class TestLauncher {
 public:
  explicit TestLauncher(std::chrono::milliseconds guard = std::chrono::seconds(10));

  // Retries until the server listens on 127.0.0.1:`port` or the guard passes.
  bool connect(uint16_t port);
  bool send(std::string_view bytes);
  // The next line without its line feed; empty on close, error or guard.
  std::optional<std::string> read_line();
  // Reads until the server closes the connection; the bytes that came before
  // the close, or empty when it stayed open for the whole guard.
  std::optional<std::string> read_until_closed();
  void close();

 private:
  // Runs the I/O context until `done` or the guard; cancels on the guard.
  bool run(const bool& done);

  std::chrono::milliseconds guard_;
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  asio::streambuf buffer_;
};

// Timeouts that only guard against hangs, for tests that do not time out.
network::TcpControlTimeouts guard_timeouts();

// A TcpControlServer on a free port whose handshake runs on its own thread,
// and afterwards an I/O thread for the control loop.
class ServerUnderTest {
 public:
  ServerUnderTest(std::vector<uint8_t> master_key, std::string expected_hash,
                  network::TcpControlTimeouts timeouts = guard_timeouts());
  ~ServerUnderTest();  // stops the server and joins the threads

  void start_handshake(std::function<bool()> abort = {});
  // The handshake's result (false too if it does not end within 60 s).
  bool handshake_result();
  // Runs the I/O context on a thread until stop_io().
  void run_io();
  // Lets the I/O thread finish the queued work and joins it.
  void stop_io();

  network::TcpControlServer& server() { return *server_; }
  uint16_t port() const { return port_; }

 private:
  asio::io_context io_;
  uint16_t port_;
  std::unique_ptr<network::TcpControlServer> server_;
  std::future<bool> handshake_;
  std::optional<bool> result_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread io_thread_;
};

}  // namespace vn::test
