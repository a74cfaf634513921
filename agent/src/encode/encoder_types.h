#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/captured_frame.h"

// The records of the video encoders: their configuration, what they report
// about themselves and the access units they produce from captured frames.
namespace vn::encode {


struct EncoderConfig {
  uint32_t width = 1920;
  uint32_t height = 1080;
  uint32_t fps = 60;                     // 0: the implementation's default
  uint32_t bitrate_bps = 30000000;       // 0: the implementation's default
  uint32_t max_bitrate_bps = 50000000;   // peak (NVENC); 0: 1.5 x bitrate_bps
  std::string codec = "h264";            // "h264", or "hevc"/"h265" where supported
  bool low_latency = true;               // tune for latency over quality
};

struct EncodedFrame {
  std::vector<uint8_t> data;  // one access unit, Annex B (start codes included)
  uint32_t frame_number = 0;
  uint64_t capture_timestamp_us = 0;
  uint64_t encode_done_us = 0;  // only NVENC sets it
  bool key_frame = false;       // IDR (or I picture for the software encoder)
  uint32_t width = 0;           // the encoder's configured size
  uint32_t height = 0;
};

struct EncoderInfo {
  // Capability flags, 1 = yes.
  uint8_t h264 = 0;
  uint8_t hevc = 0;
  uint8_t av1 = 0;
  uint8_t reports_encode_time = 0;  // fills EncodedFrame::encode_done_us
  uint32_t max_width = 0;
  uint32_t max_height = 0;
  std::string name;
};

}  // namespace vn::encode
