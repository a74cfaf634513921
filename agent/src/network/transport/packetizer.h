#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "network/transport/erasure_code.h"
#include "network/transport/packet.h"

namespace vn::network {

// One encoded video frame as the packetizer sees it: the access unit's bytes,
// borrowed for the call, and the facts its packet headers carry.
struct VideoFrameBytes {
  std::span<const uint8_t> data;      // Annex B access unit
  uint32_t frame_number = 0;          // becomes the packets' frame id
  uint64_t capture_timestamp_us = 0;  // carried by the first data packet
  bool key_frame = false;             // flags the packets, raises the repair share
};

// Cuts encoded video frames into data packets of at most kSymbolSize payload
// bytes and adds erasure-code repair packets at the current repair ratio.
// packetize() runs on the frame loop's thread; the ratio may be set from any.
class Packetizer {
 public:
  // Repair ratio in units of 0.01 % (10000 = 100 %); 0 at the start.
  void set_repair_ratio(uint32_t ratio) { repair_ratio_.store(ratio, std::memory_order_relaxed); }
  uint32_t repair_ratio() const { return repair_ratio_.load(std::memory_order_relaxed); }

  // Appends the frame's packets to `out` (which it does not clear): data
  // packets 0..N-1, then repair packets N..N+R-1. An empty frame adds nothing;
  // a frame of more than 65535 packets is dropped with an error.
  void packetize(const VideoFrameBytes& frame, std::vector<Packet>& out);

  // The number of repair packets for a frame of `data_packets` packets.
  static uint16_t repair_count(uint32_t data_packets, uint32_t repair_ratio, bool key_frame);

 private:
  std::atomic<uint32_t> repair_ratio_{0};
  ErasureEncoder encoder_;
  std::vector<uint8_t> message_;  // the frame in whole blocks, reused between frames
  std::vector<uint8_t> block_;    // one repair block
};

}  // namespace vn::network
