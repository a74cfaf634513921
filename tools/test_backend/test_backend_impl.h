#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "test_backend.h"
#include "write_job.h"

namespace vn::tools {

namespace backend_detail {
struct Conn;  // backend_connection.h
}  // namespace backend_detail

// The server behind TestBackend. It runs on one io_context thread; all
// connection state lives there. Public calls post to it: sends go through one
// write queue per connection (text, fragments, ping, close and raw bytes never
// overlap), and the caller waits on a future. No asio timers anywhere (see the
// Wine note in tools/README.md); waits are a mutex and a condition variable.
//
// The member functions run on the server thread, except where noted; each
// group's comment names the file that defines it.
struct TestBackend::Impl {
  using Conn = backend_detail::Conn;
  using Job = backend_detail::Job;

  explicit Impl(TestBackendOptions o) : options(std::move(o)) {}

  TestBackendOptions options;
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor{io};
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
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

  // Any thread.
  bool on_io_thread() const { return io_thread_id.load() == std::this_thread::get_id(); }

  // Events and the thread's body (test_backend.cpp). emit() calls the handler
  // outside the lock; what it throws is logged, not passed on.
  void emit(TestBackendEvent::Kind kind, int connection, std::string detail);
  void emit(const TestBackendEvent& event);
  void run();

  // Accepting and answering upgrade requests (upgrade_request.cpp). start()
  // calls accept_next() once before the server thread exists.
  void accept_next();
  void read_request(const std::shared_ptr<Conn>& c);
  void on_request(const std::shared_ptr<Conn>& c, const boost::system::error_code& ec, size_t n);
  void record_request(const std::shared_ptr<Conn>& c, const std::string& raw);
  void emit_rejected(int status, const std::string& target);
  void answer_and_close(const std::shared_ptr<Conn>& c, std::string bytes);
  void discard_until_closed(const std::shared_ptr<Conn>& c);

  // The WebSocket handshake and the switch to an accepted connection (websocket_upgrade.cpp).
  void upgrade(const std::shared_ptr<Conn>& c);
  void on_upgraded(const std::shared_ptr<Conn>& c, const boost::system::error_code& ec);

  // The read/write loop of an accepted connection and its end (connection_loop.cpp).
  void read_next(const std::shared_ptr<Conn>& c);
  // Starts the front job unless one is being written.
  void pump(const std::shared_ptr<Conn>& c);
  void write_fragment(const std::shared_ptr<Conn>& c);
  void finish_job(const std::shared_ptr<Conn>& c, bool ok);
  // Any thread: queues `job` on the current connection; waits for it unless on the server thread.
  bool submit(Job job, bool needs_upgrade);
  // Closes the socket (no close frame) and settles everything that waited on it.
  void end_connection(std::shared_ptr<Conn> c, const std::string& why);  // by value: may be `current`
};

}  // namespace vn::tools
