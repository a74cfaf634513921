#pragma once

#include <cstdint>
#include <vector>

#include "network/transport/packetizer.h"

namespace vn::test {

// An encoded frame that owns its bytes, handed to the packetizer as the view
// it takes.
struct OwnedVideoFrame {
  std::vector<uint8_t> data;
  uint32_t frame_number = 0;
  uint64_t capture_timestamp_us = 0;
  bool key_frame = false;

  operator network::VideoFrameBytes() const { return {data, frame_number, capture_timestamp_us, key_frame}; }
};

}  // namespace vn::test
