#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/i420_convert.h"

// The conversion's building blocks, shared by the scalar and SIMD paths.
// Internal to the i420_convert* files.
namespace vn::encode::i420 {

// Byte offsets of the colour channels within a 4-byte pixel.
struct Channels {
  uint32_t b;
  uint32_t g;
  uint32_t r;
};

inline uint8_t luma(int r, int g, int b) {
  const int y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
  return static_cast<uint8_t>(y > 235 ? 235 : y);
}

inline uint8_t clamp_byte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline uint8_t chroma_u(int r, int g, int b) { return clamp_byte(((112 * b - 74 * g - 38 * r + 128) >> 8) + 128); }
inline uint8_t chroma_v(int r, int g, int b) { return clamp_byte(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128); }

// Luma of pixels [x_begin, x_end) of one row.
void luma_row_scalar(const uint8_t* row, Channels c, uint32_t x_begin, uint32_t x_end, uint8_t* y_out);

// Chroma of the even columns in [x_begin, x_end) for the row pair (row0, row1);
// `width` bounds the right-edge repeat. Writes u_out[x / 2], v_out[x / 2].
void chroma_rows_scalar(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t x_begin, uint32_t x_end,
                        uint32_t width, uint8_t* u_out, uint8_t* v_out);

// SIMD row kernels: each handles the leading multiple of its block width
// (16 pixels for SSE2, 32 for AVX2) and returns how many pixels it did; the
// caller finishes the row with the scalar kernels. `row1` is the second row of
// the chroma pair (the same as row0 on an odd last row); `y1_out` may be null
// when that row's luma is not wanted.
using RowsKernel = uint32_t (*)(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width,
                               uint8_t* y0_out, uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out);
uint32_t rows_sse2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out);
uint32_t rows_avx2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out);

// The SIMD kernel for `path` when this build and processor have it, else null.
// Defined by the processor family's dispatch file.
RowsKernel simd_rows_kernel(ConvertPath path);

}  // namespace vn::encode::i420
