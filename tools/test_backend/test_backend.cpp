// TestBackend's life: binding and starting the server thread, stopping it,
// and the settings read by the server thread (the event handler, the upgrade
// mode). Also the server thread's body and event delivery, on the server
// thread. Public calls may come from any thread.
#include "test_backend.h"

#include <exception>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/post.hpp>

#include "backend_support.h"
#include "test_backend_impl.h"

namespace vn::tools {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using backend_detail::log_error;

}  // namespace

void TestBackend::Impl::emit(TestBackendEvent::Kind kind, int connection, std::string detail) {
  TestBackendEvent e;
  e.kind = kind;
  e.connection = connection;
  e.detail = std::move(detail);
  emit(e);
}

void TestBackend::Impl::emit(const TestBackendEvent& event) {
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

void TestBackend::Impl::run() {
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

}  // namespace vn::tools
