#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "control_protocol.h"
#include "encode/encoder_types.h"
#include "network/transport/encryption.h"
#include "network/transport/packet.h"
#include "network/transport/packetizer.h"

// What the agent would send, made with the agent's own encoder, packetizer
// and sealing, for the launcher's tests.
namespace vn::launcher::test {

StreamKey key_of(uint8_t first);  // first, first+1, ...

// `count` H.264 access units (the first a key frame) of a width x height
// picture of colour `rgb` with uniform noise of +-`noise` on every channel
// (noise makes the frames span several packets; the mean stays `rgb`).
std::vector<encode::EncodedFrame> encode_pictures(uint32_t width, uint32_t height, std::array<uint8_t, 3> rgb,
                                                  int noise, int count);

// Packetizes and seals frames (or single packets) like the agent.
class Sealer {
 public:
  Sealer(const StreamKey& key, uint32_t repair_ratio);
  std::vector<std::vector<uint8_t>> datagrams(const encode::EncodedFrame& frame);
  std::vector<uint8_t> seal(const network::PacketHeader& header, const std::vector<uint8_t>& payload);

 private:
  network::Encryption encryption_;
  network::Packetizer packetizer_;
};

}  // namespace vn::launcher::test
