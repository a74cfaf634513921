#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/encoder_types.h"

// BGRA (or RGBA) to I420, BT.601 limited range, integer arithmetic. All paths
// give bit-identical results; the SIMD ones are picked at run time.
namespace vn::encode {

// Plane sizes of an I420 picture: Y is width x height, U and V are each
// ceil(width / 2) x ceil(height / 2), stored one after the other (Y, U, V),
// every plane with its rows packed.
struct I420Layout {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t chroma_width = 0;
  uint32_t chroma_height = 0;

  static I420Layout of(uint32_t width, uint32_t height) {
    return {width, height, (width + 1) / 2, (height + 1) / 2};
  }
  size_t luma_size() const { return size_t{width} * height; }
  size_t chroma_size() const { return size_t{chroma_width} * chroma_height; }
  size_t total_size() const { return luma_size() + 2 * chroma_size(); }
};

enum class ConvertPath : uint8_t { kScalar, kSse2, kAvx2 };

// The fastest path this processor runs.
ConvertPath best_convert_path();
bool convert_path_supported(ConvertPath path);
const char* convert_path_name(ConvertPath path);

// Converts width x height pixels of `source` (rows `source_pitch` bytes apart,
// 4 bytes a pixel in `order`) into `i420` (I420Layout::of(width, height)
// .total_size() bytes). Luma: Y = ((66R + 129G + 25B + 128) >> 8) + 16, at
// most 235. Chroma from the average (sum >> 2) of each 2x2 block, the last
// row and column repeating at odd edges:
// U = ((112B - 74G - 38R + 128) >> 8) + 128, V = ((112R - 94G - 18B + 128) >> 8) + 128,
// arithmetic shifts, clamped to 0..255.
void convert_to_i420(const uint8_t* source, size_t source_pitch, capture::PixelOrder order, uint32_t width,
                     uint32_t height, uint8_t* i420);

// The same on a chosen path (which must be supported), for tests and benchmarks.
void convert_to_i420(ConvertPath path, const uint8_t* source, size_t source_pitch, capture::PixelOrder order,
                     uint32_t width, uint32_t height, uint8_t* i420);

}  // namespace vn::encode
