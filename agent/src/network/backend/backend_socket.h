#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace asio {
class io_context;
}

namespace vn::network {

// The backend connection's TCP socket: blocking calls with deadlines, made of
// non-blocking asio socket operations and readiness waits in short slices, so
// that a silent or stalled peer never holds the calling thread longer than
// its deadline and the owner's `abort` predicate is honoured within a slice.
// One thread at a time; the I/O context only provides the socket service.
// Thrown when a read or write made no progress within its deadline.
class SocketTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BackendSocket {
 public:
  // `abort` (may be empty) is polled between slices; true ends the call.
  BackendSocket(asio::io_context& io, std::function<bool()> abort);
  ~BackendSocket();  // close()
  BackendSocket(const BackendSocket&) = delete;
  BackendSocket& operator=(const BackendSocket&) = delete;

  // Resolves `host` and connects to the first address that answers within
  // `timeout`; then sets TCP_NODELAY and keep-alive (5000 ms idle, 3000 ms
  // interval). False with the reason in `error`.
  bool connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout, std::string& error);

  // The rest throw std::runtime_error when the connection fails, the peer
  // closes it or `abort` turns true, and SocketTimeout when `deadline`
  // passes first: one deadline for the whole call however the bytes trickle
  // in or out, so that a peer taking a byte at a time cannot stretch it.
  void write_all(const void* data, size_t size, std::chrono::steady_clock::time_point deadline);
  // Reads 1..`size` bytes, waiting for the first one up to `deadline`.
  size_t read_some(void* data, size_t size, std::chrono::steady_clock::time_point deadline);
  void read_exact(void* data, size_t size, std::chrono::steady_clock::time_point deadline);
  // Bytes that can be read now without waiting.
  size_t available();
  // Waits up to `timeout` for bytes to read; true when there are some.
  // Throws at once, without waiting out `timeout`, when the peer has ended
  // the connection (its FIN or an RST, or a socket error) and no byte is left
  // before that end, and when the wait itself fails.
  bool wait_readable(std::chrono::milliseconds timeout);

  bool is_open() const;
  void close();  // harmless when closed

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vn::network
