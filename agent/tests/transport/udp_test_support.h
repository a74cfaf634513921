#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "network/transport/packet.h"
#include "network/transport/udp_sender.h"
#include "support/io_threads.h"

namespace vn::test {

// Generous bound for anything a test waits on; only a hang guard.
inline constexpr std::chrono::seconds kHangGuard{10};

// A UDP socket on 127.0.0.1 and an ephemeral port, playing the launcher.
class UdpTestPeer {
 public:
  UdpTestPeer();
  uint16_t port() const { return port_; }
  void send_to(std::span<const uint8_t> bytes, uint16_t port);
  // The next datagram, or empty after kHangGuard.
  std::optional<std::vector<uint8_t>> receive();

 private:
  asio::io_context io_;
  asio::ip::udp::socket socket_;
  uint16_t port_ = 0;
};

// Polls `done` until true or `guard` (kHangGuard by default) passed; returns its last value.
bool eventually(const std::function<bool()>& done);
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds guard);

// A sender towards 127.0.0.1:`destination_port`, opened on a free local port
// (retried should another test take the port first); null when it never opened.
std::unique_ptr<network::UdpSender> open_sender(asio::io_context& io, uint16_t destination_port, uint16_t* local_port);

// A video packet with `payload_size` bytes of a pattern derived from `frame_id`.
network::Packet make_packet(uint32_t frame_id, size_t payload_size);
// The bytes the packet must have on the wire.
std::vector<uint8_t> wire_bytes(const network::Packet& packet);

// "VNP1" followed by `tail`.
std::vector<uint8_t> probe(std::span<const uint8_t> tail);

}  // namespace vn::test
