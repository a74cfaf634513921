#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "network/transport/erasure_code.h"
#include "network/transport/packetizer.h"
#include "support/log_capture.h"
#include "transport/owned_video_frame.h"

namespace vn::network {
namespace {

test::OwnedVideoFrame frame_of(size_t length, bool key, uint32_t number = 42, uint64_t timestamp = 987654321) {
  test::OwnedVideoFrame frame;
  frame.data.resize(length);
  for (size_t i = 0; i < length; ++i) frame.data[i] = static_cast<uint8_t>(i * 31 + 7);
  frame.key_frame = key;
  frame.frame_number = number;
  frame.capture_timestamp_us = timestamp;
  return frame;
}

TEST(Packetizer, RepairCountRule) {
  struct Case {
    uint32_t n, ratio;
    bool key;
    uint16_t repair;
  };
  const Case cases[] = {
      {1, 5000, true, 0},   {1, 5000, false, 0},  {10, 0, false, 0},      {10, 0, true, 2},
      {7, 2000, false, 2},  {3000, 2000, false, 255}, {100, 500, false, 5}, {100, 1000, true, 10},
      {20, 100, true, 2},   {2, 0, true, 2},      {3, 30000, false, 3},   {3, 30000, true, 3},
      {2, 10000, false, 2}, {65535, 4294967295u, false, 255},           {54, 2000, false, 11},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Packetizer::repair_count(c.n, c.ratio, c.key), c.repair)
        << "N=" << c.n << " ratio=" << c.ratio << " key=" << c.key;
  }
}

TEST(Packetizer, PacketLayout) {
  struct Case {
    size_t length;
    bool key;
    uint32_t ratio;
    size_t data_packets, repair_packets;
  };
  const Case cases[] = {
      {1162, false, 5000, 1, 0}, {1162, true, 5000, 1, 0}, {1163, false, 0, 2, 0},
      {1163, true, 0, 2, 2},     {11620, false, 0, 10, 0}, {11620, true, 0, 10, 2},
      {8000, false, 2000, 7, 2}, {1, true, 10000, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "L=" << c.length << " key=" << c.key << " ratio=" << c.ratio);
    Packetizer packetizer;
    packetizer.set_repair_ratio(c.ratio);
    const auto frame = frame_of(c.length, c.key);
    std::vector<Packet> packets(1);  // packetize appends
    packetizer.packetize(frame, packets);
    ASSERT_EQ(packets.size(), 1 + c.data_packets + c.repair_packets);
    const auto n = static_cast<uint16_t>(c.data_packets);
    std::vector<uint8_t> joined;
    for (size_t k = 0; k < c.data_packets; ++k) {
      const Packet& p = packets[1 + k];
      EXPECT_EQ(p.header.stream_type, kStreamVideo);
      EXPECT_EQ(p.header.frame_id, 42u);
      EXPECT_EQ(p.header.packet_index, k);
      EXPECT_EQ(p.header.packet_count, n);
      const uint8_t flags = (c.key ? 1 : 0) | (k + 1 == c.data_packets ? 8 : 0);
      EXPECT_EQ(p.header.flags, flags) << "packet " << k;
      EXPECT_EQ(p.header.repair_index, 0);
      EXPECT_EQ(p.header.timestamp_us, k == 0 ? 987654321u : 0u);
      EXPECT_EQ(p.payload.size(), k + 1 < c.data_packets ? kSymbolSize : c.length - k * kSymbolSize);
      joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(joined, frame.data);
    for (size_t i = 0; i < c.repair_packets; ++i) {
      const Packet& p = packets[1 + c.data_packets + i];
      EXPECT_EQ(p.header.packet_index, c.data_packets + i);
      EXPECT_EQ(p.header.packet_count, n);
      EXPECT_EQ(p.header.flags, c.key ? 3 : 2);
      EXPECT_EQ(p.header.repair_index, i);
      EXPECT_EQ(p.header.timestamp_us, 0u);
      EXPECT_EQ(p.payload.size(), kSymbolSize);
    }
  }
}

TEST(Packetizer, EmptyAndOversizedFramesAddNothing) {
  Packetizer packetizer;
  std::vector<Packet> packets;
  packetizer.packetize(frame_of(0, true), packets);
  EXPECT_TRUE(packets.empty());

  const test::LogCapture log;
  packetizer.packetize(frame_of(size_t{65536} * kSymbolSize, false, 9), packets);
  EXPECT_TRUE(packets.empty());
  EXPECT_TRUE(log.contains("error: Packetizer: frame 9 too large (76152832 bytes -> 65536 packets > 0xFFFF) — dropping"))
      << log.dump();
}

TEST(Packetizer, NearTheHeaderLimitRepairIsClamped) {
  ASSERT_TRUE(erasure_code_init());
  Packetizer packetizer;
  packetizer.set_repair_ratio(10000);
  const test::LogCapture log;
  std::vector<Packet> packets;
  packetizer.packetize(frame_of(size_t{65400} * kSymbolSize, false), packets);
  EXPECT_EQ(packets.size(), 65535u);
  EXPECT_EQ(packets.back().header.packet_index, 65534);
  EXPECT_EQ(packets.back().header.repair_index, 134);
  EXPECT_TRUE(log.contains(
      "error: Packetizer: num_packets(65400) + repair_packets(255) exceeds uint16 range — clamping repair to 135"))
      << log.dump();
}

TEST(Packetizer, RepairIndicesWrapAtEightBits) {
  ASSERT_TRUE(erasure_code_init());
  Packetizer packetizer;
  packetizer.set_repair_ratio(10000);
  std::vector<Packet> packets;
  packetizer.packetize(frame_of(300 * kSymbolSize, false), packets);
  ASSERT_EQ(packets.size(), 300u + 255u);
  for (uint32_t i = 0; i < 255; ++i) {
    EXPECT_EQ(packets[300 + i].header.packet_index, 300 + i);
    EXPECT_EQ(packets[300 + i].header.repair_index, i & 0xFF);
  }
}

}  // namespace
}  // namespace vn::network
