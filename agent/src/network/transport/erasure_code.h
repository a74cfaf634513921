#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

// The media streams' systematic erasure code over GF(256).
//
// A frame of N blocks (block size B, the last one zero-padded) is sent as its
// N data blocks (ids 0..N-1) plus up to 255 repair blocks (ids N+i). Repair
// block N+i is the sum over j of repair_coefficient(N, i, j) * data block j,
// with GF(256) arithmetic on the polynomial 0x11D. When N + i <= 255 the
// coefficient is the Cauchy entry 1 / ((N + i) XOR j), so any N of the N + R
// blocks rebuild the frame whenever N + R <= 256; beyond that the coefficients
// come from a fixed integer hash, and N received blocks rebuild the frame in
// about 99.6 % of loss patterns, N + 1 blocks in about 99.998 %.
// docs/wire-format.md gives the rule for an independent implementation.
namespace vn::network {

inline constexpr size_t kSymbolSize = 1162;
inline constexpr uint32_t kMaxRepairBlocks = 255;
inline constexpr uint32_t kMaxBlocks = 65535;

// One-time set-up (multiplication tables) and self-check of the GF(256)
// arithmetic; false means the FEC must not be used. Thread-safe.
bool erasure_code_init();

// The coefficient of data block j (0 <= j < n) in repair block n + i
// (0 <= i < 255); a pure function of (n, i, j), never 0.
uint8_t repair_coefficient(uint32_t n, uint32_t i, uint32_t j);

// True when the blocks `received_ids` (any order, duplicates allowed) of a
// frame of n data blocks determine every data block.
bool erasure_pattern_decodable(uint32_t n, std::span<const uint32_t> received_ids);

// Makes repair blocks for one frame. Not thread-safe; one per encoding thread.
class ErasureEncoder {
 public:
  // encode() results.
  static constexpr int kOk = 0;
  static constexpr int kErrorNotCreated = 1;
  static constexpr int kErrorBlockId = 2;
  static constexpr int kErrorBuffer = 3;

  ErasureEncoder() = default;
  ~ErasureEncoder() { free(); }
  ErasureEncoder(const ErasureEncoder&) = delete;
  ErasureEncoder& operator=(const ErasureEncoder&) = delete;

  // Works over `message`: N = length / block_size whole blocks (the caller pads
  // the last one), 1 <= N <= 65535. The message must stay unchanged until
  // free(). False on a bad length or before erasure_code_init().
  bool create(const uint8_t* message, size_t length, size_t block_size);

  // Computes repair blocks N+first .. N+first+count-1 in one pass over the
  // message (much cheaper than one by one); encode() then hands them out.
  bool precompute(uint32_t first, uint32_t count);

  // Writes block `block_id` (a data block for ids < N, a repair block for
  // N..N+254) into `out` and its length into `*written`.
  int encode(uint32_t block_id, uint8_t* out, size_t out_size, size_t* written);

  void free();
  uint32_t block_count() const { return blocks_; }

 private:
  const uint8_t* message_ = nullptr;
  size_t block_size_ = 0;
  uint32_t blocks_ = 0;
  uint32_t precomputed_first_ = 0;
  uint32_t precomputed_count_ = 0;
  std::vector<uint8_t> precomputed_;  // precomputed_count_ blocks
};

// Rebuilds one frame from any received blocks. Input is untrusted: bad ids,
// sizes and duplicates are refused, never stored.
class ErasureDecoder {
 public:
  enum class AddResult { kAdded, kDuplicate, kInvalid };

  // A frame of `blocks` data blocks (1..65535) of `block_size` bytes.
  explicit ErasureDecoder(uint32_t blocks, size_t block_size = kSymbolSize);

  // Data blocks are block_size bytes, except the last (id N-1), which may be
  // shorter (1..block_size); repair blocks are exactly block_size bytes.
  AddResult add_block(uint32_t block_id, std::span<const uint8_t> block);

  uint32_t block_count() const { return blocks_; }
  uint32_t received_count() const { return data_received_ + static_cast<uint32_t>(repairs_.size()); }
  bool complete() const { return valid() && data_received_ == blocks_; }

  // Rebuilds the missing data blocks from the repair blocks at hand. True when
  // every data block is known afterwards; false when more blocks are needed.
  bool decode();

  // The N data blocks, zero-padded (N * block_size bytes); complete only after
  // complete() is true. The frame's own length is not part of the code.
  std::span<const uint8_t> message() const { return message_; }

 private:
  bool valid() const { return blocks_ >= 1 && blocks_ <= kMaxBlocks && block_size_ > 0; }

  uint32_t blocks_;
  size_t block_size_;
  std::vector<uint8_t> message_;
  std::vector<bool> have_data_;
  uint32_t data_received_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> repairs_;  // repair index i -> block
};

}  // namespace vn::network
