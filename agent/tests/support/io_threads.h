#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <thread>
#include <vector>

namespace vn::test {

// Runs an io_context on threads of its own from construction (or start())
// until destruction.
class IoThreads {
 public:
  explicit IoThreads(int threads, bool start_now = true);
  ~IoThreads();
  IoThreads(const IoThreads&) = delete;
  IoThreads& operator=(const IoThreads&) = delete;

  void start();
  asio::io_context& io() { return io_; }

 private:
  int count_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

}  // namespace vn::test
