#include "media_receiver.h"

#include <asio/buffer.hpp>
#include <asio/socket_base.hpp>

namespace vn::launcher {
namespace {

// Larger than any UDP payload, so an oversized datagram is seen whole (and
// rejected) rather than cut to a plausible size.
constexpr size_t kReceiveBuffer = 65536;
// Kernel buffer for bursts of a large key frame while a picture decodes.
constexpr int kSocketBuffer = 8 * 1024 * 1024;

}  // namespace

MediaReceiver::MediaReceiver(asio::io_context& io) : streams_{Stream(io), Stream(io)} {}

bool MediaReceiver::open(uint16_t video_port, uint16_t audio_port, std::string& error) {
  const uint16_t ports[2] = {video_port, audio_port};
  for (int i = 0; i < 2; ++i) {
    asio::error_code ec;
    auto& socket = streams_[i].socket;
    socket.open(asio::ip::udp::v4(), ec);
    if (!ec) socket.bind({asio::ip::address_v4::any(), ports[i]}, ec);
    if (ec) {
      error = std::string("cannot bind UDP port ") + std::to_string(ports[i]) + " (" + (i == kVideo ? "video" : "audio") +
              "): " + ec.message();
      close();
      return false;
    }
    asio::error_code ignored;
    socket.set_option(asio::socket_base::receive_buffer_size(kSocketBuffer), ignored);
    streams_[i].buffer.resize(kReceiveBuffer);
  }
  return true;
}

uint16_t MediaReceiver::local_port(StreamIndex stream) const {
  asio::error_code ec;
  const auto endpoint = streams_[stream].socket.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void MediaReceiver::start(StreamIndex index, const asio::ip::udp::endpoint& probe_to,
                          const std::array<uint8_t, kProbeSize>& probe, DatagramHandler handler) {
  Stream& stream = streams_[index];
  stream.probe_to = probe_to;
  stream.probe = probe;
  stream.handler = std::move(handler);
  stream.started = true;
  receive(stream);
}

void MediaReceiver::send_probes() {
  for (Stream& stream : streams_) {
    if (closed_ || !stream.started || stream.media_seen) continue;
    asio::error_code ignored;  // nothing listening yet is normal: probing goes on
    stream.socket.send_to(asio::buffer(stream.probe), stream.probe_to, 0, ignored);
    ++stream.probes_sent;
  }
}

void MediaReceiver::receive(Stream& stream) {
  stream.socket.async_receive_from(
      asio::buffer(stream.buffer), stream.sender, [this, &stream](const asio::error_code& error, size_t length) {
        if (closed_ || error == asio::error::operation_aborted) return;
        // Other errors (an ICMP report of a refused probe on some systems)
        // concern one datagram; keep receiving.
        if (!error && stream.handler(std::span<const uint8_t>(stream.buffer.data(), length))) stream.media_seen = true;
        receive(stream);
      });
}

void MediaReceiver::close() {
  closed_ = true;
  for (Stream& stream : streams_) {
    asio::error_code ignored;
    stream.socket.close(ignored);
  }
}

}  // namespace vn::launcher
