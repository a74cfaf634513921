#include "network/transport/erasure_code.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace vn::network {
namespace {

// ISA-L's per-coefficient multiplication tables (32 bytes each), for every
// coefficient value: building a frame's tables is then a copy per coefficient.
std::array<std::array<uint8_t, 32>, 256> g_mul_tables{};
// Full product table for the scalar work of decoding (row reduction).
std::array<std::array<uint8_t, 256>, 256> g_products{};
std::once_flag g_tables_once;
bool g_arithmetic_ok = false;

void init_tables() {
  bool ok = true;
  for (int a = 1; a < 256; ++a) {
    const auto element = static_cast<unsigned char>(a);
    if (gf_mul(element, gf_inv(element)) != 1 || gf_mul(element, 1) != element || gf_mul(element, 0) != 0) ok = false;
  }
  for (int a = 0; a < 256; ++a) {
    gf_vect_mul_init(static_cast<unsigned char>(a), g_mul_tables[a].data());
    for (int b = 0; b < 256; ++b) {
      g_products[a][b] = gf_mul(static_cast<unsigned char>(a), static_cast<unsigned char>(b));
    }
  }
  g_arithmetic_ok = ok;
}

uint32_t mix(uint32_t n, uint32_t i, uint32_t j) {
  uint32_t h = n * 0x9E3779B1u ^ (i + 1) * 0x85EBCA77u ^ (j + 1) * 0xC2B2AE3Du;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

// Columns per ISA-L call: bounds the table memory at rows x 256 x 32 bytes.
constexpr uint32_t kColumnChunk = 256;

void xor_into(uint8_t* dst, const uint8_t* src, size_t length) {
  for (size_t k = 0; k < length; ++k) dst[k] ^= src[k];
}

// outputs[r] = sum over the columns c of coefficient(r, c) * inputs[c], each
// `length` bytes. `coefficient` is called as coefficient(row, column).
template <typename Coefficient>
void multiply_accumulate(size_t length, const std::vector<const uint8_t*>& inputs, std::vector<uint8_t*>& outputs,
                         Coefficient&& coefficient) {
  const auto rows = static_cast<uint32_t>(outputs.size());
  const auto columns = static_cast<uint32_t>(inputs.size());
  for (uint8_t* out : outputs) std::memset(out, 0, length);
  if (rows == 0 || columns == 0) return;

  std::vector<uint8_t> tables(size_t{rows} * std::min(columns, kColumnChunk) * 32);
  std::vector<uint8_t> partial_storage;
  std::vector<uint8_t*> partial(rows);
  const bool chunked = columns > kColumnChunk;
  if (chunked) {
    partial_storage.resize(size_t{rows} * length);
    for (uint32_t r = 0; r < rows; ++r) partial[r] = partial_storage.data() + size_t{r} * length;
  }

  for (uint32_t first = 0; first < columns; first += kColumnChunk) {
    const uint32_t count = std::min(kColumnChunk, columns - first);
    uint8_t* table = tables.data();
    for (uint32_t r = 0; r < rows; ++r) {
      for (uint32_t c = 0; c < count; ++c, table += 32) {
        std::memcpy(table, g_mul_tables[coefficient(r, first + c)].data(), 32);
      }
    }
    auto** data = const_cast<unsigned char**>(inputs.data() + first);
    unsigned char** coding = chunked ? partial.data() : outputs.data();
    ec_encode_data(static_cast<int>(length), static_cast<int>(count), static_cast<int>(rows), tables.data(), data,
                   coding);
    if (chunked) {
      for (uint32_t r = 0; r < rows; ++r) xor_into(outputs[r], partial[r], length);
    }
  }
}

// Row-reduces `matrix` (rows x columns, row-major) in place and returns the
// indices of `columns` linearly independent rows, or fewer when it has no
// full column rank.
std::vector<uint32_t> independent_rows(std::vector<uint8_t> matrix, uint32_t rows, uint32_t columns) {
  std::vector<uint32_t> order(rows);
  for (uint32_t r = 0; r < rows; ++r) order[r] = r;
  std::vector<uint32_t> chosen;
  uint32_t next = 0;  // rows before `next` are pivots
  for (uint32_t col = 0; col < columns && next < rows; ++col) {
    uint32_t pivot = next;
    while (pivot < rows && matrix[size_t{pivot} * columns + col] == 0) ++pivot;
    if (pivot == rows) return chosen;  // this column cannot be solved
    if (pivot != next) {
      std::swap_ranges(matrix.begin() + size_t{pivot} * columns, matrix.begin() + size_t{pivot + 1} * columns,
                       matrix.begin() + size_t{next} * columns);
      std::swap(order[pivot], order[next]);
    }
    uint8_t* pivot_row = matrix.data() + size_t{next} * columns;
    const unsigned char inverse = gf_inv(pivot_row[col]);
    for (uint32_t r = next + 1; r < rows; ++r) {
      uint8_t* row = matrix.data() + size_t{r} * columns;
      if (row[col] == 0) continue;
      const auto& times_factor = g_products[g_products[row[col]][inverse]];
      for (uint32_t c = col; c < columns; ++c) row[c] ^= times_factor[pivot_row[c]];
    }
    chosen.push_back(order[next]);
    ++next;
  }
  return chosen;
}

// dst ^= factor * src over `length` bytes.
void multiply_add_row(uint8_t* dst, const uint8_t* src, uint8_t factor, size_t length) {
  if (length >= 64) {
    gf_vect_mad(static_cast<int>(length), 1, 0, g_mul_tables[factor].data(), const_cast<uint8_t*>(src), dst);
    return;
  }
  const auto& times_factor = g_products[factor];
  for (size_t c = 0; c < length; ++c) dst[c] ^= times_factor[src[c]];
}

void scale_row(uint8_t* row, uint8_t factor, size_t length) {
  const auto& times_factor = g_products[factor];
  for (size_t c = 0; c < length; ++c) row[c] = times_factor[row[c]];
}

// Gauss-Jordan inversion of the m x m matrix `in` into `out`; false when it is
// singular.
bool invert_matrix(const uint8_t* in, uint8_t* out, uint32_t m) {
  const size_t width = size_t{2} * m;  // [A | I]
  std::vector<uint8_t> work(size_t{m} * width, 0);
  for (uint32_t r = 0; r < m; ++r) {
    std::memcpy(work.data() + r * width, in + size_t{r} * m, m);
    work[r * width + m + r] = 1;
  }
  for (uint32_t col = 0; col < m; ++col) {
    uint32_t pivot = col;
    while (pivot < m && work[pivot * width + col] == 0) ++pivot;
    if (pivot == m) return false;
    uint8_t* pivot_row = work.data() + size_t{col} * width;
    if (pivot != col) std::swap_ranges(pivot_row, pivot_row + width, work.data() + size_t{pivot} * width);
    scale_row(pivot_row, gf_inv(pivot_row[col]), width);
    for (uint32_t r = 0; r < m; ++r) {
      uint8_t* row = work.data() + size_t{r} * width;
      if (r != col && row[col] != 0) multiply_add_row(row, pivot_row, row[col], width);
    }
  }
  for (uint32_t r = 0; r < m; ++r) std::memcpy(out + size_t{r} * m, work.data() + r * width + m, m);
  return true;
}

// The repair rows `repair_ids` of a frame of n blocks, restricted to the data
// columns `missing`, row-major.
std::vector<uint8_t> repair_rows(uint32_t n, const std::vector<uint32_t>& repair_ids,
                                 const std::vector<uint32_t>& missing) {
  const size_t m = missing.size();
  std::vector<uint8_t> rows(repair_ids.size() * m);
  for (size_t r = 0; r < repair_ids.size(); ++r) {
    for (size_t c = 0; c < m; ++c) rows[r * m + c] = repair_coefficient(n, repair_ids[r], missing[c]);
  }
  return rows;
}

}  // namespace

bool erasure_pattern_decodable(uint32_t n, std::span<const uint32_t> received_ids) {
  if (!erasure_code_init() || n == 0 || n > kMaxBlocks) return false;
  std::vector<bool> have(n, false);
  std::vector<uint32_t> repair_ids;
  for (uint32_t id : received_ids) {
    if (id < n) {
      have[id] = true;
    } else if (id < n + kMaxRepairBlocks &&
               std::find(repair_ids.begin(), repair_ids.end(), id - n) == repair_ids.end()) {
      repair_ids.push_back(id - n);
    }
  }
  std::vector<uint32_t> missing;
  for (uint32_t j = 0; j < n; ++j) {
    if (!have[j]) missing.push_back(j);
  }
  if (missing.empty()) return true;
  if (repair_ids.size() < missing.size()) return false;
  const auto m = static_cast<uint32_t>(missing.size());
  return independent_rows(repair_rows(n, repair_ids, missing), static_cast<uint32_t>(repair_ids.size()), m).size() ==
         m;
}

bool erasure_code_init() {
  std::call_once(g_tables_once, init_tables);
  return g_arithmetic_ok;
}

uint8_t repair_coefficient(uint32_t n, uint32_t i, uint32_t j) {
  const uint32_t x = n + i;
  if (x <= 255) return gf_inv(static_cast<unsigned char>(x ^ j));  // Cauchy: x > j, so x ^ j != 0
  return static_cast<uint8_t>(1 + mix(n, i, j) % 255);
}

// ---- encoder ----

bool ErasureEncoder::create(const uint8_t* message, size_t length, size_t block_size) {
  free();
  if (!erasure_code_init() || message == nullptr || block_size == 0 || length == 0 || length % block_size != 0) {
    return false;
  }
  const size_t blocks = length / block_size;
  if (blocks > kMaxBlocks) return false;
  message_ = message;
  block_size_ = block_size;
  blocks_ = static_cast<uint32_t>(blocks);
  return true;
}

bool ErasureEncoder::precompute(uint32_t first, uint32_t count) {
  if (message_ == nullptr || first >= kMaxRepairBlocks) return false;
  count = std::min(count, kMaxRepairBlocks - first);
  precomputed_.resize(size_t{count} * block_size_);
  std::vector<const uint8_t*> inputs(blocks_);
  for (uint32_t j = 0; j < blocks_; ++j) inputs[j] = message_ + size_t{j} * block_size_;
  std::vector<uint8_t*> outputs(count);
  for (uint32_t r = 0; r < count; ++r) outputs[r] = precomputed_.data() + size_t{r} * block_size_;
  const uint32_t n = blocks_;
  multiply_accumulate(block_size_, inputs, outputs,
                      [n, first](uint32_t r, uint32_t j) { return repair_coefficient(n, first + r, j); });
  precomputed_first_ = first;
  precomputed_count_ = count;
  return true;
}

int ErasureEncoder::encode(uint32_t block_id, uint8_t* out, size_t out_size, size_t* written) {
  if (message_ == nullptr) return kErrorNotCreated;
  if (block_id >= blocks_ + kMaxRepairBlocks) return kErrorBlockId;
  if (out == nullptr || out_size < block_size_) return kErrorBuffer;
  if (block_id < blocks_) {
    std::memcpy(out, message_ + size_t{block_id} * block_size_, block_size_);
  } else {
    const uint32_t i = block_id - blocks_;
    if (i < precomputed_first_ || i >= precomputed_first_ + precomputed_count_) precompute(i, 1);
    std::memcpy(out, precomputed_.data() + size_t{i - precomputed_first_} * block_size_, block_size_);
  }
  if (written != nullptr) *written = block_size_;
  return kOk;
}

void ErasureEncoder::free() {
  message_ = nullptr;
  blocks_ = 0;
  block_size_ = 0;
  precomputed_first_ = 0;
  precomputed_count_ = 0;
  precomputed_.clear();
}

// ---- decoder ----

ErasureDecoder::ErasureDecoder(uint32_t blocks, size_t block_size) : blocks_(blocks), block_size_(block_size) {
  if (!valid() || !erasure_code_init()) {
    blocks_ = 0;
    return;
  }
  message_.assign(size_t{blocks_} * block_size_, 0);
  have_data_.assign(blocks_, false);
}

ErasureDecoder::AddResult ErasureDecoder::add_block(uint32_t block_id, std::span<const uint8_t> block) {
  if (!valid() || block_id >= blocks_ + kMaxRepairBlocks || block.empty() || block.size() > block_size_) {
    return AddResult::kInvalid;
  }
  if (block_id < blocks_) {
    const bool last = block_id == blocks_ - 1;
    if (!last && block.size() != block_size_) return AddResult::kInvalid;
    if (have_data_[block_id]) return AddResult::kDuplicate;
    std::memcpy(message_.data() + size_t{block_id} * block_size_, block.data(), block.size());
    have_data_[block_id] = true;
    ++data_received_;
    return AddResult::kAdded;
  }
  if (block.size() != block_size_) return AddResult::kInvalid;
  const uint32_t i = block_id - blocks_;
  if (repairs_.count(i) != 0) return AddResult::kDuplicate;
  repairs_.emplace(i, std::vector<uint8_t>(block.begin(), block.end()));
  return AddResult::kAdded;
}

bool ErasureDecoder::decode() {
  if (!valid()) return false;
  if (complete()) return true;

  std::vector<uint32_t> missing, known;
  for (uint32_t j = 0; j < blocks_; ++j) (have_data_[j] ? known : missing).push_back(j);
  const auto m = static_cast<uint32_t>(missing.size());
  if (repairs_.size() < m) return false;

  std::vector<uint32_t> repair_ids;
  for (const auto& [i, block] : repairs_) repair_ids.push_back(i);

  // The repair rows restricted to the missing columns; pick m independent ones.
  const auto available = static_cast<uint32_t>(repair_ids.size());
  const std::vector<uint8_t> rows = repair_rows(blocks_, repair_ids, missing);
  std::vector<uint32_t> chosen;
  std::vector<uint8_t> square(size_t{m} * m), inverse(size_t{m} * m);
  // Fast path: the first m rows (always independent for Cauchy rows).
  std::copy_n(rows.begin(), square.size(), square.begin());
  if (invert_matrix(square.data(), inverse.data(), m)) {
    for (uint32_t r = 0; r < m; ++r) chosen.push_back(r);
  } else {
    chosen = independent_rows(rows, available, m);
    if (chosen.size() < m) return false;
    for (uint32_t r = 0; r < m; ++r) std::copy_n(rows.begin() + size_t{chosen[r]} * m, m, square.begin() + size_t{r} * m);
    if (!invert_matrix(square.data(), inverse.data(), m)) return false;
  }

  // s_r = repair_r + (known data's share of repair_r); in GF(2^8) adding is subtracting.
  std::vector<uint8_t> syndrome_storage(size_t{m} * block_size_);
  std::vector<uint8_t*> syndromes(m);
  for (uint32_t r = 0; r < m; ++r) syndromes[r] = syndrome_storage.data() + size_t{r} * block_size_;
  std::vector<const uint8_t*> known_blocks(known.size());
  for (size_t c = 0; c < known.size(); ++c) known_blocks[c] = message_.data() + size_t{known[c]} * block_size_;
  multiply_accumulate(block_size_, known_blocks, syndromes, [&](uint32_t r, uint32_t c) {
    return repair_coefficient(blocks_, repair_ids[chosen[r]], known[c]);
  });
  for (uint32_t r = 0; r < m; ++r) xor_into(syndromes[r], repairs_.at(repair_ids[chosen[r]]).data(), block_size_);

  // missing = inverse x syndromes.
  std::vector<const uint8_t*> inputs(syndromes.begin(), syndromes.end());
  std::vector<uint8_t*> outputs(m);
  for (uint32_t c = 0; c < m; ++c) outputs[c] = message_.data() + size_t{missing[c]} * block_size_;
  multiply_accumulate(block_size_, inputs, outputs, [&](uint32_t r, uint32_t c) { return inverse[size_t{r} * m + c]; });

  for (uint32_t j : missing) have_data_[j] = true;
  data_received_ = blocks_;
  return true;
}

}  // namespace vn::network
