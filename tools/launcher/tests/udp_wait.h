#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace vn::launcher::test {

// Runs `io` in short slices until `done` holds or `limit` passed; the
// result of `done` at the end. A bound against hanging, not a speed check.
inline bool run_until(asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  return done();
}

// One datagram from a non-blocking socket within `limit`, with its sender.
inline std::optional<std::vector<uint8_t>> receive_within(asio::ip::udp::socket& socket,
                                                          asio::ip::udp::endpoint& from,
                                                          std::chrono::seconds limit = std::chrono::seconds(20)) {
  socket.non_blocking(true);
  std::vector<uint8_t> buffer(65536);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    asio::error_code error;
    const size_t n = socket.receive_from(asio::buffer(buffer), from, 0, error);
    if (!error) {
      buffer.resize(n);
      return buffer;
    }
    if (error != asio::error::would_block) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::nullopt;
}

}  // namespace vn::launcher::test
