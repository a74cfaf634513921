#include "transport/udp_test_support.h"

#include <asio/ip/address_v4.hpp>

#include <algorithm>
#include <iterator>

namespace vn::test {

using asio::ip::udp;

UdpTestPeer::UdpTestPeer() : socket_(io_, udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
  port_ = socket_.local_endpoint().port();
  socket_.non_blocking(true);
}

void UdpTestPeer::send_to(std::span<const uint8_t> bytes, uint16_t port) {
  socket_.non_blocking(false);
  socket_.send_to(asio::buffer(bytes.data(), bytes.size()), udp::endpoint(asio::ip::address_v4::loopback(), port));
  socket_.non_blocking(true);
}

std::optional<std::vector<uint8_t>> UdpTestPeer::receive() {
  std::vector<uint8_t> buffer(65536);
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (std::chrono::steady_clock::now() < deadline) {
    udp::endpoint from;
    asio::error_code error;
    const size_t size = socket_.receive_from(asio::buffer(buffer), from, 0, error);
    if (!error) {
      buffer.resize(size);
      return buffer;
    }
    if (error != asio::error::would_block && error != asio::error::try_again) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::nullopt;
}

bool eventually(const std::function<bool()>& done) {
  return eventually(done, std::chrono::duration_cast<std::chrono::milliseconds>(kHangGuard));
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds guard) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

namespace {

uint16_t free_udp_port() {
  asio::io_context io;
  udp::socket socket(io, udp::endpoint(asio::ip::address_v4::any(), 0));
  return socket.local_endpoint().port();
}

}  // namespace

std::unique_ptr<network::UdpSender> open_sender(asio::io_context& io, uint16_t destination_port, uint16_t* local_port) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint16_t port = free_udp_port();
    auto sender = std::make_unique<network::UdpSender>(io, "127.0.0.1", destination_port, port);
    if (sender->open()) {
      *local_port = port;
      return sender;
    }
  }
  return nullptr;
}

network::Packet make_packet(uint32_t frame_id, size_t payload_size) {
  network::Packet packet;
  packet.header.stream_type = network::kStreamVideo;
  packet.header.frame_id = frame_id;
  packet.header.packet_index = 3;
  packet.header.packet_count = 9;
  packet.header.flags = network::kFlagKeyFrame;
  packet.header.timestamp_us = 0x0102030405060708ULL + frame_id;
  packet.payload.resize(payload_size);
  for (size_t i = 0; i < payload_size; ++i) packet.payload[i] = static_cast<uint8_t>(frame_id * 31 + i);
  return packet;
}

std::vector<uint8_t> wire_bytes(const network::Packet& packet) {
  std::vector<uint8_t> out(network::PacketHeader::kSize + packet.payload.size());
  packet.header.serialize_to(out.data());
  std::copy(packet.payload.begin(), packet.payload.end(), out.begin() + network::PacketHeader::kSize);
  return out;
}

std::vector<uint8_t> probe(std::span<const uint8_t> tail) {
  constexpr uint8_t kMagic[] = {'V', 'N', 'P', '1'};
  std::vector<uint8_t> out(sizeof(kMagic) + tail.size());
  std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
  std::copy(tail.begin(), tail.end(), out.begin() + sizeof(kMagic));
  return out;
}

}  // namespace vn::test
