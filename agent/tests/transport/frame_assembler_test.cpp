#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <random>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/frame_assembler.h"
#include "network/transport/packetizer.h"
#include "transport/owned_video_frame.h"

namespace vn::network {
namespace {

// Packetizes and seals frames the way the agent does, as datagrams.
class Sender {
 public:
  Sender() {
    EXPECT_GE(sodium_init(), 0);
    EXPECT_TRUE(erasure_code_init());
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    encryption.set_key(key.data(), key.size());
  }

  std::vector<std::vector<uint8_t>> datagrams(const test::OwnedVideoFrame& frame) {
    std::vector<Packet> packets;
    packetizer.packetize(frame, packets);
    std::vector<std::vector<uint8_t>> out;
    for (const Packet& p : packets) {
      std::vector<uint8_t> datagram(PacketHeader::kSize + p.payload.size() + Encryption::kTagSize);
      p.header.serialize_to(datagram.data());
      size_t sealed = 0;
      EXPECT_TRUE(encryption.encrypt_packet(p.header, p.payload.data(), p.payload.size(),
                                            datagram.data() + PacketHeader::kSize, &sealed));
      out.push_back(std::move(datagram));
    }
    return out;
  }

  std::array<uint8_t, 32> key{};
  Encryption encryption;
  Packetizer packetizer;
};

test::OwnedVideoFrame random_frame(uint32_t number, size_t length, bool key, std::mt19937& random) {
  test::OwnedVideoFrame frame;
  frame.frame_number = number;
  frame.key_frame = key;
  frame.capture_timestamp_us = 1000 + number;
  frame.data.resize(length);
  for (auto& b : frame.data) b = static_cast<uint8_t>(random());
  return frame;
}

TEST(FrameAssembler, RebuildsFramesThroughRandomLossWheneverTheCodeAllows) {
  Sender sender;
  sender.packetizer.set_repair_ratio(2000);
  FrameAssembler assembler(sender.key);
  std::mt19937 random(11);
  std::bernoulli_distribution lose(0.10);
  int complete = 0, rebuilt = 0, expected_complete = 0;
  for (uint32_t number = 1; number <= 120; ++number) {
    const size_t length = number % 30 == 1 ? 150000 : 2000 + (random() % 40000);
    const auto frame = random_frame(number, length, number % 30 == 1, random);
    auto datagrams = sender.datagrams(frame);
    const size_t n = (length + kSymbolSize - 1) / kSymbolSize;
    std::vector<uint32_t> kept_ids;
    std::vector<std::vector<uint8_t>> kept;
    for (uint32_t id = 0; id < datagrams.size(); ++id) {
      if (!lose(random)) kept_ids.push_back(id), kept.push_back(datagrams[id]);
    }
    std::shuffle(kept.begin(), kept.end(), random);  // reordering on the way
    const bool decodable = erasure_pattern_decodable(static_cast<uint32_t>(n), kept_ids);
    expected_complete += decodable;

    bool got = false;
    for (const auto& datagram : kept) {
      FrameAssembler::Frame out;
      const auto result = assembler.add_datagram(datagram, &out);
      ASSERT_NE(result, FrameAssembler::Result::kRejected);
      if (result != FrameAssembler::Result::kFrameComplete) continue;
      ASSERT_FALSE(got) << "frame " << number << " completed twice";
      got = true;
      ++complete;
      rebuilt += out.rebuilt;
      EXPECT_EQ(out.frame_id, number);
      EXPECT_EQ(out.key_frame, frame.key_frame);
      EXPECT_EQ(out.data_packets, n);
      // Exact when the last data packet arrived; else zero padding follows.
      ASSERT_GE(out.data.size(), frame.data.size());
      EXPECT_TRUE(std::equal(frame.data.begin(), frame.data.end(), out.data.begin())) << "frame " << number;
      EXPECT_TRUE(std::all_of(out.data.begin() + static_cast<std::ptrdiff_t>(frame.data.size()), out.data.end(),
                              [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(got, decodable) << "frame " << number;
  }
  EXPECT_EQ(complete, expected_complete);
  EXPECT_GT(rebuilt, 50);  // 10 % loss: most frames needed repair
}

TEST(FrameAssembler, RejectsWhatDoesNotAuthenticateOrFitItsFrame) {
  Sender sender;
  sender.packetizer.set_repair_ratio(5000);
  std::mt19937 random(3);
  auto datagrams = sender.datagrams(random_frame(7, 5000, false, random));  // N = 5, R = 3
  ASSERT_EQ(datagrams.size(), 8u);
  FrameAssembler assembler(sender.key);

  auto tampered = datagrams[0];
  tampered[PacketHeader::kSize + 3] ^= 1;  // ciphertext
  auto renumbered = datagrams[1];
  renumbered[10] = 6;  // packet_count in clear: fails authentication too
  const std::vector<uint8_t> short_datagram(PacketHeader::kSize + 15, 0);
  std::array<uint8_t, 32> other_key{};
  FrameAssembler wrong_key(other_key);

  FrameAssembler::Frame out;
  EXPECT_EQ(assembler.add_datagram(tampered, &out), FrameAssembler::Result::kRejected);
  EXPECT_EQ(assembler.add_datagram(renumbered, &out), FrameAssembler::Result::kRejected);
  EXPECT_EQ(assembler.add_datagram(short_datagram, &out), FrameAssembler::Result::kRejected);
  EXPECT_EQ(assembler.add_datagram({}, &out), FrameAssembler::Result::kRejected);
  EXPECT_EQ(wrong_key.add_datagram(datagrams[0], &out), FrameAssembler::Result::kRejected);

  // An authentic packet of the same frame id claiming another packet count.
  Sender same_key;
  auto other = same_key.datagrams(random_frame(7, 9000, false, random));  // N = 8
  EXPECT_EQ(assembler.add_datagram(datagrams[0], &out), FrameAssembler::Result::kAccepted);
  EXPECT_EQ(assembler.add_datagram(datagrams[0], &out), FrameAssembler::Result::kDuplicate);
  EXPECT_EQ(assembler.add_datagram(other[1], &out), FrameAssembler::Result::kRejected);

  for (size_t id : {1u, 2u, 3u}) EXPECT_EQ(assembler.add_datagram(datagrams[id], &out), FrameAssembler::Result::kAccepted);
  EXPECT_EQ(assembler.add_datagram(datagrams[6], &out), FrameAssembler::Result::kFrameComplete);
  EXPECT_TRUE(out.rebuilt);
  EXPECT_EQ(assembler.add_datagram(datagrams[4], &out), FrameAssembler::Result::kDuplicate);  // frame done
}

TEST(FrameAssembler, GivesUpTheOldestIncompleteFrame) {
  Sender sender;
  std::mt19937 random(5);
  FrameAssembler assembler(sender.key, 2);
  FrameAssembler::Frame out;
  std::vector<std::vector<std::vector<uint8_t>>> frames;
  for (uint32_t number = 1; number <= 3; ++number) frames.push_back(sender.datagrams(random_frame(number, 3000, false, random)));
  for (const auto& frame : frames) EXPECT_EQ(assembler.add_datagram(frame[0], &out), FrameAssembler::Result::kAccepted);
  EXPECT_EQ(assembler.frames_given_up(), 1u);
  EXPECT_EQ(assembler.add_datagram(frames[0][1], &out), FrameAssembler::Result::kDuplicate);  // frame 1 was given up
  EXPECT_EQ(assembler.add_datagram(frames[2][1], &out), FrameAssembler::Result::kAccepted);
  EXPECT_EQ(assembler.add_datagram(frames[2][2], &out), FrameAssembler::Result::kFrameComplete);
  EXPECT_EQ(out.frame_id, 3u);
  EXPECT_FALSE(out.rebuilt);
}

}  // namespace
}  // namespace vn::network
