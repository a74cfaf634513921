#pragma once

#include <array>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "probe.h"

namespace vn::launcher {

// The two media sockets (video, audio), bound to 0.0.0.0, and their
// hole-punch probes. Runs on the I/O context's single thread; handlers are
// called there. Must outlive the context's run.
class MediaReceiver {
 public:
  enum StreamIndex { kVideo = 0, kAudio = 1 };
  // Returns true when the datagram was authentic media: probing that stream stops.
  using DatagramHandler = std::function<bool(std::span<const uint8_t>)>;

  explicit MediaReceiver(asio::io_context& io);
  MediaReceiver(const MediaReceiver&) = delete;
  MediaReceiver& operator=(const MediaReceiver&) = delete;

  // Binds both sockets (port 0: any free port). False with `error` set.
  bool open(uint16_t video_port, uint16_t audio_port, std::string& error);
  uint16_t local_port(StreamIndex stream) const;

  // Where each stream's probes go and what they carry; then receiving starts.
  void start(StreamIndex stream, const asio::ip::udp::endpoint& probe_to, const std::array<uint8_t, kProbeSize>& probe,
             DatagramHandler handler);
  // One probe from each started stream that has seen no media yet.
  void send_probes();
  bool media_seen(StreamIndex stream) const { return streams_[stream].media_seen; }
  uint64_t probes_sent(StreamIndex stream) const { return streams_[stream].probes_sent; }

  void close();

 private:
  struct Stream {
    explicit Stream(asio::io_context& io) : socket(io) {}
    asio::ip::udp::socket socket;
    asio::ip::udp::endpoint sender;
    asio::ip::udp::endpoint probe_to;
    std::array<uint8_t, kProbeSize> probe{};
    std::vector<uint8_t> buffer;
    DatagramHandler handler;
    bool started = false;
    bool media_seen = false;
    uint64_t probes_sent = 0;
  };
  void receive(Stream& stream);

  std::array<Stream, 2> streams_;
  bool closed_ = false;
};

}  // namespace vn::launcher
