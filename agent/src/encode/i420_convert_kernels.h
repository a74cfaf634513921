#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/i420_convert.h"

// The conversion's building blocks, shared by the scalar and SIMD paths.
// Internal to the i420_convert* files.

// For the SIMD kernels' per-block helpers: left out of line they pass their
// vectors through memory, which costs more than the arithmetic.
#if defined(_MSC_VER)
#define VN_I420_INLINE __forceinline
#else
#define VN_I420_INLINE inline __attribute__((always_inline))
#endif

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

// The SIMD kernels add the rounding term and the offset before the single
// shift: ((s + 128) >> 8) + k == (s + 128 + (k << 8)) >> 8 for any integer s,
// because adding a multiple of 256 commutes with an arithmetic shift by 8.
//
// Luma: s = 66R + 129G + 25B lies in [0, 220 * 255] = [0, 56100], so
// s + kLumaBias lies in [4224, 60324]: it fits an unsigned 16-bit lane, a
// logical shift equals the arithmetic one, and the result is at most 235, so
// the cap never changes a value.
//
// Chroma: on block averages in 0..255, 112B - 74G - 38R and 112R - 94G - 18B
// lie in [-28560, 28560] (each has one positive weight 112 and negative ones
// summing to -112), which fits a signed 16-bit lane; adding kChromaBias gives
// [4336, 61456], again an unsigned 16-bit value whose shift by 8 lies in
// 16..240, so the clamp to 0..255 never changes a value either.
constexpr int kLumaBias = 128 + (16 << 8);
constexpr int kChromaBias = 128 + (128 << 8);

inline uint8_t clamp_byte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline uint8_t chroma_u(int r, int g, int b) { return clamp_byte(((112 * b - 74 * g - 38 * r + 128) >> 8) + 128); }
inline uint8_t chroma_v(int r, int g, int b) { return clamp_byte(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128); }

// Luma of pixels [x_begin, x_end) of one row.
void luma_row_scalar(const uint8_t* row, Channels c, uint32_t x_begin, uint32_t x_end, uint8_t* y_out);

// Chroma of the even columns in [x_begin, x_end) for the row pair (row0, row1);
// `width` bounds the right-edge repeat. Writes u_out[x / 2], v_out[x / 2].
void chroma_rows_scalar(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t x_begin, uint32_t x_end,
                        uint32_t width, uint8_t* u_out, uint8_t* v_out);

// SIMD row kernels: each converts a leading run of pixels of a row pair and
// returns its length, an even number, so that the caller finishes the row
// (at most its last pixel when the row is at least one block wide, 16 pixels
// for SSE2 and 32 for AVX2) with the scalar kernels. `row1` is the second row
// of the chroma pair; on an odd last row it is row0 and `y1_out` is null, and
// the kernels take a null `y1_out` to mean that. They read no byte past
// width * 4 of either row. `c` is one of the two supported orders: green at
// byte 1, blue and red at bytes 0 and 2 in either order.
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
