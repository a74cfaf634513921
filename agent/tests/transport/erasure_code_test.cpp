#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "network/transport/erasure_code.h"
#include "network/transport/packetizer.h"

namespace vn::network {
namespace {

constexpr size_t B = kSymbolSize;

class ErasureCodeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(erasure_code_init()); }

  // A frame of n blocks with random content and its r repair blocks (ids n..n+r-1).
  struct Frame {
    std::vector<uint8_t> message;
    std::vector<std::vector<uint8_t>> blocks;  // all n + r blocks by id
  };
  static Frame make_frame(uint32_t n, uint32_t r, uint32_t seed) {
    Frame frame;
    frame.message.resize(size_t{n} * B);
    std::mt19937 random(seed);
    for (auto& byte : frame.message) byte = static_cast<uint8_t>(random());
    ErasureEncoder encoder;
    EXPECT_TRUE(encoder.create(frame.message.data(), frame.message.size(), B));
    EXPECT_TRUE(encoder.precompute(0, r));
    frame.blocks.resize(n + r, std::vector<uint8_t>(B));
    for (uint32_t id = 0; id < n + r; ++id) {
      size_t written = 0;
      EXPECT_EQ(encoder.encode(id, frame.blocks[id].data(), B, &written), ErasureEncoder::kOk);
      EXPECT_EQ(written, B);
    }
    return frame;
  }

  // Feeds the blocks `ids` and decodes; true when the message came back intact.
  static bool rebuild(const Frame& frame, uint32_t n, const std::vector<uint32_t>& ids) {
    ErasureDecoder decoder(n);
    for (uint32_t id : ids) EXPECT_EQ(decoder.add_block(id, frame.blocks[id]), ErasureDecoder::AddResult::kAdded);
    if (!decoder.decode()) return false;
    return std::equal(decoder.message().begin(), decoder.message().end(), frame.message.begin());
  }
};

TEST_F(ErasureCodeTest, CoefficientsAreFixedAndNonZero) {
  // Cauchy entries 1 / ((n + i) xor j) on the polynomial 0x11D, then hashed values.
  EXPECT_EQ(repair_coefficient(1, 0, 0), 1);     // 1 / 1
  EXPECT_EQ(repair_coefficient(2, 0, 0), 0x8E);  // 1 / 2
  EXPECT_EQ(repair_coefficient(2, 0, 1), 0xF4);  // 1 / 3
  EXPECT_EQ(repair_coefficient(10, 5, 3), repair_coefficient(10, 5, 3));
  for (uint32_t n : {1u, 2u, 100u, 200u, 255u, 256u, 1000u, 65535u}) {
    for (uint32_t i = 0; i < 255; i += 17) {
      for (uint32_t j = 0; j < n; j += std::max(1u, n / 50)) EXPECT_NE(repair_coefficient(n, i, j), 0);
    }
  }
}

TEST_F(ErasureCodeTest, DataBlocksAreTheMessageItself) {
  const Frame frame = make_frame(3, 2, 1);
  for (uint32_t j = 0; j < 3; ++j) {
    EXPECT_TRUE(std::equal(frame.blocks[j].begin(), frame.blocks[j].end(), frame.message.begin() + j * B));
  }
}

TEST_F(ErasureCodeTest, AnyNBlocksRebuildTheFrameWhenNPlusRFitsTheField) {
  // Every subset of size n of the n + r blocks, for small codes.
  for (auto [n, r] : {std::pair{2u, 2u}, {4u, 3u}, {5u, 5u}, {8u, 4u}}) {
    const Frame frame = make_frame(n, r, n * 10 + r);
    std::vector<bool> pick(n + r, false);
    std::fill(pick.begin(), pick.begin() + n, true);
    do {
      std::vector<uint32_t> ids;
      for (uint32_t id = 0; id < n + r; ++id)
        if (pick[id]) ids.push_back(id);
      EXPECT_TRUE(rebuild(frame, n, ids)) << "n=" << n << " r=" << r;
    } while (std::prev_permutation(pick.begin(), pick.end()));
  }
  // Random subsets for codes up to the field size.
  std::mt19937 random(7);
  for (auto [n, r] : {std::pair{54u, 11u}, {100u, 20u}, {200u, 56u}, {213u, 43u}}) {
    const Frame frame = make_frame(n, r, n);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<uint32_t> ids(n + r);
      std::iota(ids.begin(), ids.end(), 0u);
      std::shuffle(ids.begin(), ids.end(), random);
      ids.resize(n);
      EXPECT_TRUE(rebuild(frame, n, ids)) << "n=" << n << " r=" << r;
      EXPECT_TRUE(erasure_pattern_decodable(n, ids));
    }
  }
}

// Random loss at the repair ratios the adaptive rule uses, keeping exactly N
// (or N + 1) received blocks: how often the pattern is decodable.
TEST_F(ErasureCodeTest, LargeFramesDecodeFromNAndAlmostAlwaysFromNPlusOne) {
  std::mt19937 random(2024);
  size_t trials_n = 0, ok_n = 0, trials_n1 = 0, ok_n1 = 0;
  for (uint32_t n : {2u, 10u, 60u, 250u, 300u, 700u, 1200u, 2000u}) {
    for (uint32_t ratio : {500u, 1000u, 2000u}) {
      const uint32_t r = Packetizer::repair_count(n, ratio, false);
      if (r < 2) continue;
      const int trials = n <= 256 ? 300 : 120;
      for (int trial = 0; trial < trials; ++trial) {
        std::vector<uint32_t> ids(n + r);
        std::iota(ids.begin(), ids.end(), 0u);
        std::shuffle(ids.begin(), ids.end(), random);
        const std::vector<uint32_t> first_n(ids.begin(), ids.begin() + n);
        const std::vector<uint32_t> first_n1(ids.begin(), ids.begin() + n + 1);
        ++trials_n, ok_n += erasure_pattern_decodable(n, first_n);
        ++trials_n1, ok_n1 += erasure_pattern_decodable(n, first_n1);
      }
    }
  }
  const double rate_n = double(ok_n) / double(trials_n);
  const double rate_n1 = double(ok_n1) / double(trials_n1);
  RecordProperty("decodable_from_n", std::to_string(rate_n));
  RecordProperty("decodable_from_n_plus_1", std::to_string(rate_n1));
  EXPECT_GE(rate_n, 0.99) << ok_n << "/" << trials_n;
  EXPECT_GE(rate_n1, 0.9999) << ok_n1 << "/" << trials_n1;
}

TEST_F(ErasureCodeTest, LargeFramesRebuildTheirData) {
  std::mt19937 random(99);
  for (auto [n, r] : {std::pair{300u, 30u}, {1000u, 100u}, {2000u, 255u}}) {
    const Frame frame = make_frame(n, r, n);
    for (int trial = 0; trial < 3; ++trial) {
      std::vector<uint32_t> ids(n + r);
      std::iota(ids.begin(), ids.end(), 0u);
      std::shuffle(ids.begin(), ids.end(), random);
      ids.resize(n + 1);
      EXPECT_TRUE(rebuild(frame, n, ids)) << "n=" << n << " r=" << r;
    }
  }
}

TEST_F(ErasureCodeTest, DecoderRefusesBadBlocks) {
  const uint32_t n = 4;
  ErasureDecoder decoder(n);
  const std::vector<uint8_t> full(B, 1), short_block(100, 2), long_block(B + 1, 3);
  struct Case {
    uint32_t id;
    const std::vector<uint8_t>* block;
    ErasureDecoder::AddResult result;
  };
  const Case cases[] = {
      {0, &full, ErasureDecoder::AddResult::kAdded},
      {0, &full, ErasureDecoder::AddResult::kDuplicate},
      {1, &short_block, ErasureDecoder::AddResult::kInvalid},  // only the last data block may be short
      {3, &short_block, ErasureDecoder::AddResult::kAdded},
      {2, &long_block, ErasureDecoder::AddResult::kInvalid},
      {n, &short_block, ErasureDecoder::AddResult::kInvalid},  // repair blocks are whole
      {n, &full, ErasureDecoder::AddResult::kAdded},
      {n, &full, ErasureDecoder::AddResult::kDuplicate},
      {n + 254, &full, ErasureDecoder::AddResult::kAdded},
      {n + 255, &full, ErasureDecoder::AddResult::kInvalid},
      {0xFFFFFFFF, &full, ErasureDecoder::AddResult::kInvalid},
  };
  for (const auto& c : cases) EXPECT_EQ(decoder.add_block(c.id, *c.block), c.result) << "id " << c.id;
  EXPECT_EQ(decoder.add_block(2, {}), ErasureDecoder::AddResult::kInvalid);
  EXPECT_EQ(decoder.received_count(), 4u);

  for (uint32_t bad_n : {0u, 65536u}) {
    ErasureDecoder bad(bad_n);
    EXPECT_EQ(bad.add_block(0, full), ErasureDecoder::AddResult::kInvalid);
    EXPECT_FALSE(bad.decode());
    EXPECT_FALSE(bad.complete());
  }
}

TEST_F(ErasureCodeTest, TooFewBlocksNeedMore) {
  const Frame frame = make_frame(6, 3, 5);
  ErasureDecoder decoder(6);
  for (uint32_t id : {0u, 2u, 6u, 7u}) decoder.add_block(id, frame.blocks[id]);
  EXPECT_FALSE(decoder.decode());
  decoder.add_block(8, frame.blocks[8]);
  EXPECT_FALSE(decoder.decode());
  decoder.add_block(5, frame.blocks[5]);
  EXPECT_TRUE(decoder.decode());
  EXPECT_TRUE(std::equal(decoder.message().begin(), decoder.message().end(), frame.message.begin()));
}

TEST_F(ErasureCodeTest, EncoderRefusesBadInput) {
  ErasureEncoder encoder;
  uint8_t out[B];
  size_t written = 0;
  EXPECT_EQ(encoder.encode(0, out, B, &written), ErasureEncoder::kErrorNotCreated);
  std::vector<uint8_t> message(3 * B);
  EXPECT_FALSE(encoder.create(message.data(), message.size() - 1, B));
  EXPECT_FALSE(encoder.create(nullptr, message.size(), B));
  ASSERT_TRUE(encoder.create(message.data(), message.size(), B));
  EXPECT_EQ(encoder.encode(3 + 255, out, B, &written), ErasureEncoder::kErrorBlockId);
  EXPECT_EQ(encoder.encode(3, out, B - 1, &written), ErasureEncoder::kErrorBuffer);
  EXPECT_EQ(encoder.encode(3 + 254, out, B, &written), ErasureEncoder::kOk);
}

}  // namespace
}  // namespace vn::network
