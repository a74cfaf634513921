#include "network/backend/backend_socket.h"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <stdexcept>

#include "network/backend/socket_wait.h"

namespace vn::network {
namespace {

using asio::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kSliceMs = 100;
constexpr uint32_t kKeepAliveIdleMs = 5000;
constexpr uint32_t kKeepAliveIntervalMs = 3000;

// SO_ERROR, to learn how a non-blocking connect ended.
using SocketErrorOption = asio::detail::socket_option::integer<ASIO_OS_DEF(SOL_SOCKET), SO_ERROR>;

bool would_block(const asio::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

struct BackendSocket::Impl {
  Impl(asio::io_context& io, std::function<bool()> abort) : socket(io), resolver(io), abort(std::move(abort)) {}

  bool aborted() const { return abort && abort(); }

  // Waits in slices until ready; false on timeout or abort.
  SocketWait wait(bool for_write, steady_clock::time_point deadline) {
    for (;;) {
      if (aborted()) return SocketWait::kTimeout;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0) return SocketWait::kTimeout;
      const int slice = static_cast<int>(left < kSliceMs ? left : kSliceMs);
      const SocketWait result = wait_socket(static_cast<uint64_t>(socket.native_handle()), for_write, slice);
      if (result != SocketWait::kTimeout) return result;
    }
  }

  // After a would-block: waits until the socket is ready, else throws.
  void await_ready(bool for_write, steady_clock::time_point deadline) {
    const SocketWait ready = wait(for_write, deadline);
    if (ready == SocketWait::kReady) return;
    if (ready == SocketWait::kError) throw std::runtime_error("socket wait failed");
    if (aborted()) throw std::runtime_error("connector stopping");
    throw SocketTimeout(std::string(for_write ? "write" : "read") + " timed out");
  }

  bool connect_endpoint(const tcp::endpoint& endpoint, milliseconds timeout, std::string& error) {
    asio::error_code ec;
    socket.close(ec);
    socket.open(endpoint.protocol(), ec);
    if (!ec) socket.non_blocking(true, ec);
    if (ec) {
      error = ec.message();
      return false;
    }
    socket.connect(endpoint, ec);
    if (ec == asio::error::would_block || ec == asio::error::in_progress) {
      const SocketWait ready = wait(true, steady_clock::now() + timeout);
      if (ready != SocketWait::kReady) {
        error = aborted() ? "connector stopping" : "connect timed out";
        socket.close(ec);
        return false;
      }
      SocketErrorOption status;
      socket.get_option(status, ec);
      if (!ec && status.value() != 0) ec = asio::error_code(status.value(), asio::error::get_system_category());
    }
    if (ec) {
      error = ec.message();
      socket.close(ec);
      return false;
    }
    return true;
  }

  tcp::socket socket;
  tcp::resolver resolver;
  std::function<bool()> abort;
};

BackendSocket::BackendSocket(asio::io_context& io, std::function<bool()> abort)
    : impl_(std::make_unique<Impl>(io, std::move(abort))) {}

BackendSocket::~BackendSocket() { close(); }

bool BackendSocket::connect(const std::string& host, uint16_t port, milliseconds timeout, std::string& error) {
  close();
  asio::error_code ec;
  const auto endpoints = impl_->resolver.resolve(host, std::to_string(port), ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  if (endpoints.empty()) {
    error = "no address for " + host;
    return false;
  }
  for (const auto& entry : endpoints) {
    if (impl_->connect_endpoint(entry.endpoint(), timeout, error)) break;
    if (impl_->aborted()) return false;
  }
  if (!impl_->socket.is_open()) return false;

  impl_->socket.set_option(tcp::no_delay(true), ec);
  set_tcp_keepalive(static_cast<uint64_t>(impl_->socket.native_handle()), kKeepAliveIdleMs, kKeepAliveIntervalMs);
  return true;
}

void BackendSocket::write_all(const void* data, size_t size, steady_clock::time_point deadline) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    asio::error_code ec;
    const size_t written = impl_->socket.write_some(asio::buffer(bytes, size), ec);
    if (would_block(ec)) {
      impl_->await_ready(true, deadline);
      continue;
    }
    if (ec) throw std::runtime_error(ec.message());
    bytes += written;
    size -= written;
  }
}

size_t BackendSocket::read_some(void* data, size_t size, steady_clock::time_point deadline) {
  if (size == 0) return 0;
  for (;;) {
    asio::error_code ec;
    const size_t received = impl_->socket.read_some(asio::buffer(data, size), ec);
    if (would_block(ec)) {
      impl_->await_ready(false, deadline);
      continue;
    }
    if (ec == asio::error::eof) throw std::runtime_error("connection closed by the backend");
    if (ec) throw std::runtime_error(ec.message());
    return received;
  }
}

void BackendSocket::read_exact(void* data, size_t size, steady_clock::time_point deadline) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const size_t received = read_some(bytes, size, deadline);
    bytes += received;
    size -= received;
  }
}

size_t BackendSocket::available() {
  asio::error_code ec;
  const size_t bytes = impl_->socket.available(ec);
  if (ec) throw std::runtime_error(ec.message());
  return bytes;
}

bool BackendSocket::wait_readable(milliseconds timeout) {
  const SocketWait ready = wait_socket(static_cast<uint64_t>(impl_->socket.native_handle()), false,
                                       static_cast<int>(timeout.count()));
  if (ready == SocketWait::kError) throw std::runtime_error("socket wait failed");
  if (ready == SocketWait::kTimeout) return false;
  // Readable means bytes, the peer's FIN, or an error such as an RST: a
  // peek at one byte tells them apart without taking anything, so that the
  // end of the connection is noticed here and not at the next write.
  uint8_t byte = 0;
  asio::error_code ec;
  const size_t peeked = impl_->socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
  if (would_block(ec)) return false;  // woken for nothing
  if (ec == asio::error::eof || (!ec && peeked == 0)) throw std::runtime_error("connection closed by the backend");
  if (ec) throw std::runtime_error("connection lost: " + ec.message());
  return true;
}

bool BackendSocket::is_open() const { return impl_->socket.is_open(); }

void BackendSocket::close() {
  if (!impl_ || !impl_->socket.is_open()) return;
  asio::error_code ec;
  impl_->socket.shutdown(tcp::socket::shutdown_both, ec);
  impl_->socket.close(ec);
}

}  // namespace vn::network
