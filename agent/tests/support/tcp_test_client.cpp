#include "support/tcp_test_client.h"

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <thread>

namespace vn::test {

using asio::ip::tcp;

uint16_t free_tcp_port() {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds guard) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TestLauncher::TestLauncher(std::chrono::milliseconds guard) : guard_(guard), socket_(io_) {}

bool TestLauncher::connect(uint16_t port) {
  const tcp::endpoint server(asio::ip::make_address_v4("127.0.0.1"), port);
  const auto deadline = std::chrono::steady_clock::now() + guard_;
  for (;;) {
    asio::error_code ec;
    socket_.close(ec);
    socket_.connect(server, ec);
    if (!ec) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TestLauncher::run(const bool& done) {
  io_.restart();
  const auto deadline = std::chrono::steady_clock::now() + guard_;
  while (!done && std::chrono::steady_clock::now() < deadline) io_.run_for(std::chrono::milliseconds(20));
  if (done) return true;
  asio::error_code ignored;
  socket_.cancel(ignored);
  io_.restart();
  while (!done) io_.run_one();
  return false;
}

bool TestLauncher::send(std::string_view bytes) {
  bool done = false;
  asio::error_code result;
  asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), [&](const asio::error_code& ec, size_t) {
    result = ec;
    done = true;
  });
  return run(done) && !result;
}

std::optional<std::string> TestLauncher::read_line() {
  bool done = false;
  asio::error_code result;
  size_t length = 0;
  asio::async_read_until(socket_, buffer_, '\n', [&](const asio::error_code& ec, size_t bytes) {
    result = ec;
    length = bytes;
    done = true;
  });
  if (!run(done) || result) return std::nullopt;
  std::string line(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + (length - 1));
  buffer_.consume(length);
  return line;
}

std::optional<std::string> TestLauncher::read_until_closed() {
  bool done = false;
  asio::error_code result;
  asio::async_read(socket_, buffer_, asio::transfer_all(), [&](const asio::error_code& ec, size_t) {
    result = ec;
    done = true;
  });
  if (!run(done)) return std::nullopt;
  std::string rest(asio::buffers_begin(buffer_.data()), asio::buffers_end(buffer_.data()));
  buffer_.consume(buffer_.size());
  return rest;
}

void TestLauncher::close() {
  asio::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

network::TcpControlTimeouts guard_timeouts() {
  network::TcpControlTimeouts t;
  t.accept_timer = std::chrono::seconds(20);
  t.accept_wait = std::chrono::seconds(25);
  t.auth_timer = std::chrono::seconds(20);
  t.auth_wait = std::chrono::seconds(25);
  return t;
}

ServerUnderTest::ServerUnderTest(std::vector<uint8_t> master_key, std::string expected_hash,
                                 network::TcpControlTimeouts timeouts)
    : port_(free_tcp_port()),
      server_(std::make_unique<network::TcpControlServer>(io_, std::move(master_key), std::move(expected_hash),
                                                          timeouts)) {}

ServerUnderTest::~ServerUnderTest() {
  if (handshake_.valid()) handshake_result();
  server_->stop();
  stop_io();
  server_.reset();
}

void ServerUnderTest::start_handshake(std::function<bool()> abort) {
  handshake_ = std::async(std::launch::async, [this, abort = std::move(abort)] { return server_->handshake(port_, abort); });
}

bool ServerUnderTest::handshake_result() {
  if (!result_) {
    if (handshake_.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return false;
    result_ = handshake_.get();
  }
  return *result_;
}

void ServerUnderTest::run_io() {
  work_.emplace(asio::make_work_guard(io_));
  io_thread_ = std::thread([this] { io_.run(); });
}

void ServerUnderTest::stop_io() {
  work_.reset();
  if (io_thread_.joinable()) io_thread_.join();
}

}  // namespace vn::test
