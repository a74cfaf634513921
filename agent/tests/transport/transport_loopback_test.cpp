// The whole video transport on loopback: packetizer with repair packets,
// sealing, the UDP sender after a hole-punch probe, random loss on the way,
// and the receiver's frame assembler.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <random>

#include "network/transport/encryption.h"
#include "network/transport/frame_assembler.h"
#include "network/transport/packetizer.h"
#include "transport/owned_video_frame.h"
#include "transport/udp_test_support.h"

namespace vn::network {
namespace {

TEST(TransportLoopback, FramesSurviveRandomLossWheneverTheCodeAllows) {
  ASSERT_GE(sodium_init(), 0);
  ASSERT_TRUE(erasure_code_init());
  std::array<uint8_t, 32> key{};
  randombytes_buf(key.data(), key.size());

  test::IoThreads io(2);
  test::UdpTestPeer launcher;
  uint16_t agent_port = 0;
  auto sender = test::open_sender(io.io(), launcher.port(), &agent_port);
  ASSERT_NE(sender, nullptr);
  sender->set_probe_token(key.data(), key.size());
  sender->start_probe_listening();
  launcher.send_to(test::probe(std::span<const uint8_t>(key.data(), 8)), agent_port);
  ASSERT_TRUE(sender->wait_for_probe(10, {}));

  Encryption encryption;
  ASSERT_TRUE(encryption.set_key(key.data(), key.size()));
  Packetizer packetizer;
  packetizer.set_repair_ratio(2000);
  FrameAssembler assembler(key);
  std::mt19937 random(17);
  std::bernoulli_distribution lose(0.10);

  int complete = 0, rebuilt = 0, decodable_frames = 0;
  for (uint32_t number = 1; number <= 40; ++number) {
    test::OwnedVideoFrame frame;
    frame.frame_number = number;
    frame.key_frame = number % 20 == 1;
    frame.capture_timestamp_us = number * 16667;
    // Bursts stay within a default socket receive buffer: loopback drops nothing then.
    frame.data.resize(frame.key_frame ? 60000 : 3000 + random() % 20000);
    for (auto& b : frame.data) b = static_cast<uint8_t>(random());

    std::vector<Packet> packets;
    packetizer.packetize(frame, packets);
    for (Packet& packet : packets) {
      std::vector<uint8_t> sealed(packet.payload.size() + Encryption::kTagSize);
      size_t length = 0;
      ASSERT_TRUE(encryption.encrypt_packet(packet.header, packet.payload.data(), packet.payload.size(),
                                            sealed.data(), &length));
      packet.payload = std::move(sealed);
    }
    sender->enqueue(packets);

    // Receive the whole frame, losing some of it on purpose.
    std::vector<uint32_t> kept_ids;
    bool completed = false;
    for (size_t i = 0; i < packets.size(); ++i) {
      auto datagram = launcher.receive();
      ASSERT_TRUE(datagram.has_value()) << "frame " << number << " datagram " << i;
      if (lose(random)) continue;
      kept_ids.push_back(PacketHeader::parse(*datagram)->packet_index);
      FrameAssembler::Frame out;
      const auto result = assembler.add_datagram(*datagram, &out);
      ASSERT_NE(result, FrameAssembler::Result::kRejected);
      if (result == FrameAssembler::Result::kFrameComplete) {
        completed = true;
        rebuilt += out.rebuilt;
        ASSERT_GE(out.data.size(), frame.data.size());
        EXPECT_TRUE(std::equal(frame.data.begin(), frame.data.end(), out.data.begin())) << "frame " << number;
      }
    }
    const uint32_t n = packets.front().header.packet_count;
    const bool decodable = erasure_pattern_decodable(n, kept_ids);
    decodable_frames += decodable;
    complete += completed;
    EXPECT_EQ(completed, decodable) << "frame " << number;
  }
  EXPECT_EQ(complete, decodable_frames);
  EXPECT_GT(complete, 30);
  EXPECT_GT(rebuilt, 10);
  EXPECT_EQ(sender->send_errors(), 0u);
  sender->close();
}

}  // namespace
}  // namespace vn::network
