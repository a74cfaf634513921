#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "network/backend/websocket_frame.h"

namespace vn::test {

// A bare backend on loopback for what the test backend cannot do: the 101
// and the first frames in one write, an RST instead of a FIN. Blocking calls
// on the thread that makes them; one agent connection at a time.
class RawBackend {
 public:
  RawBackend() : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}

  uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // Accepts one connection within `timeout`, reads its upgrade request and
  // answers it with a valid 101 followed by `after_upgrade`, in one write.
  // False on failure.
  bool accept_and_upgrade(const std::string& after_upgrade = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    asio::error_code ec;
    acceptor_.non_blocking(true, ec);
    socket_ = asio::ip::tcp::socket(io_);
    for (;;) {
      acceptor_.accept(socket_, ec);
      if (!ec) break;
      if (ec != asio::error::would_block && ec != asio::error::try_again) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    socket_.non_blocking(true, ec);
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
      if (!read_some(request, deadline)) return false;
    }
    std::string key;
    for (size_t at = 0, end; (end = request.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = request.substr(at, end - at);
      if (line.rfind("Sec-WebSocket-Key: ", 0) == 0) key = line.substr(19);
    }
    const std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: " +
                               network::ws::websocket_accept_for(key) + "\r\n\r\n" + after_upgrade;
    return send(answer);
  }

  bool send(const std::string& bytes) {
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent < bytes.size()) {
      asio::error_code ec;
      sent += socket_.write_some(asio::buffer(bytes.data() + sent, bytes.size() - sent), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (ec) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // The next message from the agent (one masked frame, unmasked), or
  // nothing when none came within `timeout` or the connection ended.
  std::optional<std::string> read_message(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (received_.size() >= 2) {
        const auto length7 = static_cast<uint8_t>(received_[1] & 0x7F);
        const size_t extended = network::ws::extended_length_bytes(length7);
        if (received_.size() >= 2 + extended) {
          const uint64_t length =
              network::ws::payload_length(length7, reinterpret_cast<const uint8_t*>(received_.data()) + 2);
          const size_t header = 2 + extended + 4;
          if (received_.size() >= header + length) {
            std::array<uint8_t, 4> mask{};
            std::memcpy(mask.data(), received_.data() + 2 + extended, 4);
            std::string payload = received_.substr(header, static_cast<size_t>(length));
            network::ws::apply_mask(reinterpret_cast<uint8_t*>(payload.data()), payload.size(), mask);
            received_.erase(0, header + static_cast<size_t>(length));
            return payload;
          }
        }
      }
      if (!read_some(received_, deadline)) return std::nullopt;
    }
  }

  // Ends the connection with an RST: no FIN first, a zero linger time.
  void reset() {
    asio::error_code ec;
    socket_.set_option(asio::socket_base::linger(true, 0), ec);
    socket_.close(ec);
    received_.clear();
  }

 private:
  // Appends what arrives before `deadline`; false when nothing did or the
  // connection ended.
  bool read_some(std::string& into, std::chrono::steady_clock::time_point deadline) {
    char chunk[4096];
    for (;;) {
      asio::error_code ec;
      const size_t got = socket_.read_some(asio::buffer(chunk), ec);
      if (!ec) {
        into.append(chunk, got);
        return true;
      }
      if (ec != asio::error::would_block && ec != asio::error::try_again) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::tcp::socket socket_{io_};
  std::string received_;
};

// An unmasked server frame with FIN set.
inline std::string server_frame(uint8_t opcode, const std::string& payload, bool fin = true) {
  std::string frame;
  frame += static_cast<char>((fin ? 0x80 : 0x00) | opcode);
  if (payload.size() <= 125) {
    frame += static_cast<char>(payload.size());
  } else if (payload.size() <= 65535) {
    frame += static_cast<char>(126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  } else {
    frame += static_cast<char>(127);
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((uint64_t{payload.size()} >> shift) & 0xFF);
  }
  return frame + payload;
}

}  // namespace vn::test
