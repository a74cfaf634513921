#include "test_stream.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <random>

#include "encode/software_encoder.h"
#include "network/transport/erasure_code.h"

namespace vn::launcher::test {

StreamKey key_of(uint8_t first) {
  StreamKey key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(first + i);
  return key;
}

std::vector<encode::EncodedFrame> encode_pictures(uint32_t width, uint32_t height, std::array<uint8_t, 3> rgb,
                                                  int noise, int count) {
  encode::SoftwareEncoder encoder;
  encode::EncoderConfig config;
  config.width = width;
  config.height = height;
  config.fps = 30;
  config.bitrate_bps = 20'000'000;
  config.max_bitrate_bps = 30'000'000;
  EXPECT_TRUE(encoder.initialize(capture::DeviceHandle::cpu(), config));

  std::mt19937 random(7);
  std::uniform_int_distribution<int> offset(-noise, noise);
  std::vector<uint8_t> bgra(size_t{width} * height * 4);
  std::vector<encode::EncodedFrame> frames;
  for (int n = 0; n < count; ++n) {
    for (size_t i = 0; i < bgra.size(); i += 4) {
      bgra[i + 0] = static_cast<uint8_t>(std::clamp(rgb[2] + offset(random), 0, 255));
      bgra[i + 1] = static_cast<uint8_t>(std::clamp(rgb[1] + offset(random), 0, 255));
      bgra[i + 2] = static_cast<uint8_t>(std::clamp(rgb[0] + offset(random), 0, 255));
      bgra[i + 3] = 255;
    }
    capture::CapturedFrame frame;
    frame.picture = {bgra.data(), width, height, width * 4, capture::PixelOrder::kBgra};
    frame.frame_number = static_cast<uint32_t>(n + 1);
    frame.timestamp_us = 1'000'000 + uint64_t(n) * 33'333;
    frame.width = width;
    frame.height = height;
    frame.is_new = true;
    encode::EncodedFrame out;
    EXPECT_TRUE(encoder.encode(frame, out)) << "frame " << n;
    frames.push_back(std::move(out));
  }
  return frames;
}

Sealer::Sealer(const StreamKey& key, uint32_t repair_ratio) {
  EXPECT_GE(sodium_init(), 0);
  EXPECT_TRUE(network::erasure_code_init());
  encryption_.set_key(key.data(), key.size());
  packetizer_.set_repair_ratio(repair_ratio);
}

std::vector<uint8_t> Sealer::seal(const network::PacketHeader& header, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> datagram(network::PacketHeader::kSize + payload.size() + network::Encryption::kTagSize);
  header.serialize_to(datagram.data());
  size_t sealed = 0;
  EXPECT_TRUE(encryption_.encrypt_packet(header, payload.data(), payload.size(),
                                         datagram.data() + network::PacketHeader::kSize, &sealed));
  return datagram;
}

std::vector<std::vector<uint8_t>> Sealer::datagrams(const encode::EncodedFrame& frame) {
  std::vector<network::Packet> packets;
  packetizer_.packetize({frame.data, frame.frame_number, frame.capture_timestamp_us, frame.key_frame}, packets);
  std::vector<std::vector<uint8_t>> out;
  for (const network::Packet& packet : packets) out.push_back(seal(packet.header, packet.payload));
  return out;
}

}  // namespace vn::launcher::test
