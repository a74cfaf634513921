#include "support/io_threads.h"

namespace vn::test {

IoThreads::IoThreads(int threads, bool start_now) : count_(threads), guard_(asio::make_work_guard(io_)) {
  if (start_now) start();
}

IoThreads::~IoThreads() {
  guard_.reset();
  io_.stop();
  for (auto& thread : threads_) thread.join();
}

void IoThreads::start() {
  for (int i = 0; i < count_; ++i) threads_.emplace_back([this] { io_.run(); });
}

}  // namespace vn::test
