#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "control_protocol.h"

namespace vn::launcher {

// The audio port's datagrams: authenticated with the audio key and counted;
// the Opus payload is not decoded. An authentic datagram with a header no
// audio packet can have (or one sealed with the video key) is a violation.
class AudioCounter {
 public:
  using ViolationHandler = std::function<void(const std::string&)>;

  AudioCounter(const StreamKey& audio_key, const StreamKey& video_key, ViolationHandler on_violation);
  ~AudioCounter();  // wipes the keys
  AudioCounter(const AudioCounter&) = delete;
  AudioCounter& operator=(const AudioCounter&) = delete;

  // True when the datagram was authentic media.
  bool on_datagram(std::span<const uint8_t> datagram);

  uint64_t datagrams() const { return datagrams_; }
  uint64_t packets() const { return packets_; }  // authentic, well-formed
  uint64_t auth_failures() const { return auth_failures_; }
  uint64_t payload_bytes() const { return payload_bytes_; }

 private:
  StreamKey audio_key_;
  StreamKey video_key_;
  ViolationHandler on_violation_;
  std::vector<uint8_t> scratch_;
  uint64_t datagrams_ = 0;
  uint64_t packets_ = 0;
  uint64_t auth_failures_ = 0;
  uint64_t payload_bytes_ = 0;
};

}  // namespace vn::launcher
