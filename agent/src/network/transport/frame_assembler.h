#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/erasure_code.h"
#include "network/transport/packet.h"

namespace vn::network {

// The receiving end of the video stream (the launcher, tests): opens each
// datagram with the video key and rebuilds frames from their data and repair
// packets. Untrusted input: a datagram that does not authenticate or does not
// fit the frame it names is rejected and changes nothing. At most
// `max_pending_frames` incomplete frames are kept; the oldest is given up first.
class FrameAssembler {
 public:
  struct Frame {
    uint32_t frame_id = 0;
    bool key_frame = false;
    uint64_t capture_timestamp_us = 0;  // from data packet 0; 0 when that packet was lost
    uint16_t data_packets = 0;          // N
    uint16_t data_packets_received = 0;
    bool rebuilt = false;               // the erasure code filled in lost data packets
    std::vector<uint8_t> data;          // the access unit (trailing zeros when its last packet was lost)
  };

  enum class Result {
    kAccepted,       // stored; the frame is not complete yet
    kFrameComplete,  // `completed` holds the frame
    kDuplicate,      // already had this packet, or the frame is complete / given up
    kRejected,       // malformed, not authentic, or inconsistent with its frame
  };

  explicit FrameAssembler(std::span<const uint8_t, Encryption::kKeySize> video_key, size_t max_pending_frames = 16);
  ~FrameAssembler();

  Result add_datagram(std::span<const uint8_t> datagram, Frame* completed);

  uint64_t frames_given_up() const { return frames_given_up_; }

 private:
  struct Pending;
  Result add_to(Pending& pending, const PacketHeader& header, std::span<const uint8_t> payload, Frame* completed);
  bool finished(uint32_t frame_id) const;
  void remember_finished(uint32_t frame_id);

  std::array<uint8_t, Encryption::kKeySize> key_;
  size_t max_pending_;
  std::deque<std::unique_ptr<Pending>> pending_;  // oldest first
  std::deque<uint32_t> finished_;                 // recently completed or given-up frame ids
  std::vector<uint8_t> plaintext_;
  uint64_t frames_given_up_ = 0;
};

}  // namespace vn::network
