// AVX2 row kernel: 32 pixels of a row pair per step, the same 16-bit lane
// arithmetic as the SSE2 kernel (see there for why it is exact). AVX2 packs
// work within 128-bit halves, so every pack is followed by a 64-bit permute
// that restores pixel order. Built with -mavx2; only called after a CPUID check.
#include <immintrin.h>

#include "encode/i420_convert_kernels.h"

namespace vn::encode::i420 {
namespace {

constexpr int kRestoreOrder = 0xD8;  // 64-bit lanes 0, 2, 1, 3

struct Planar16 {
  __m256i lo;  // pixels 0..15 of the block
  __m256i hi;  // pixels 16..31
};

inline __m256i pack32_in_order(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), kRestoreOrder);
}

inline Planar16 channel(const __m256i px[4], __m128i shift) {
  const __m256i mask = _mm256_set1_epi32(0xFF);
  const __m256i a = _mm256_and_si256(_mm256_srl_epi32(px[0], shift), mask);
  const __m256i b = _mm256_and_si256(_mm256_srl_epi32(px[1], shift), mask);
  const __m256i c = _mm256_and_si256(_mm256_srl_epi32(px[2], shift), mask);
  const __m256i d = _mm256_and_si256(_mm256_srl_epi32(px[3], shift), mask);
  return {pack32_in_order(a, b), pack32_in_order(c, d)};
}

inline __m256i luma16(__m256i r, __m256i g, __m256i b) {
  __m256i sum = _mm256_mullo_epi16(r, _mm256_set1_epi16(66));
  sum = _mm256_add_epi16(sum, _mm256_mullo_epi16(g, _mm256_set1_epi16(129)));
  sum = _mm256_add_epi16(sum, _mm256_mullo_epi16(b, _mm256_set1_epi16(25)));
  sum = _mm256_add_epi16(sum, _mm256_set1_epi16(128));
  const __m256i y = _mm256_add_epi16(_mm256_srli_epi16(sum, 8), _mm256_set1_epi16(16));
  return _mm256_min_epi16(y, _mm256_set1_epi16(235));
}

struct Rgb16 {
  Planar16 r, g, b;
};

inline Rgb16 load_block(const uint8_t* row, uint32_t x, Channels c) {
  __m256i px[4];
  for (int i = 0; i < 4; ++i) {
    px[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + (size_t{x} + 8 * i) * 4));
  }
  return {channel(px, _mm_cvtsi32_si128(static_cast<int>(c.r * 8))),
          channel(px, _mm_cvtsi32_si128(static_cast<int>(c.g * 8))),
          channel(px, _mm_cvtsi32_si128(static_cast<int>(c.b * 8)))};
}

inline void store_luma(const Rgb16& p, uint8_t* out) {
  const __m256i lo = luma16(p.r.lo, p.g.lo, p.b.lo);
  const __m256i hi = luma16(p.r.hi, p.g.hi, p.b.hi);
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), kRestoreOrder);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

inline __m256i average_2x2(const Planar16& top, const Planar16& bottom) {
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i pairs_lo = _mm256_madd_epi16(_mm256_add_epi16(top.lo, bottom.lo), ones);
  const __m256i pairs_hi = _mm256_madd_epi16(_mm256_add_epi16(top.hi, bottom.hi), ones);
  return _mm256_srli_epi16(pack32_in_order(pairs_lo, pairs_hi), 2);
}

// ((k0 * a - k1 * b - k2 * c + 128) >> 8) + 128 for 16 samples, as 16 bytes.
inline __m128i chroma16(__m256i a, __m256i b, __m256i c, int16_t k0, int16_t k1, int16_t k2) {
  __m256i sum = _mm256_mullo_epi16(a, _mm256_set1_epi16(k0));
  sum = _mm256_sub_epi16(sum, _mm256_mullo_epi16(b, _mm256_set1_epi16(k1)));
  sum = _mm256_sub_epi16(sum, _mm256_mullo_epi16(c, _mm256_set1_epi16(k2)));
  sum = _mm256_add_epi16(sum, _mm256_set1_epi16(128));
  const __m256i value = _mm256_add_epi16(_mm256_srai_epi16(sum, 8), _mm256_set1_epi16(128));
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(value, value), kRestoreOrder);
  return _mm256_castsi256_si128(bytes);
}

}  // namespace

uint32_t rows_avx2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  const uint32_t blocks_end = width & ~31u;
  for (uint32_t x = 0; x < blocks_end; x += 32) {
    const Rgb16 top = load_block(row0, x, c);
    const Rgb16 bottom = row1 == row0 ? top : load_block(row1, x, c);
    store_luma(top, y0_out + x);
    if (y1_out != nullptr) store_luma(bottom, y1_out + x);

    const __m256i r = average_2x2(top.r, bottom.r);
    const __m256i g = average_2x2(top.g, bottom.g);
    const __m256i b = average_2x2(top.b, bottom.b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u_out + x / 2), chroma16(b, g, r, 112, 74, 38));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v_out + x / 2), chroma16(r, g, b, 112, 94, 18));
  }
  // The SSE2 kernel takes a remaining 16-pixel block before the scalar tail.
  if (width - blocks_end >= 16) {
    return blocks_end + rows_sse2(row0 + size_t{blocks_end} * 4, row1 + size_t{blocks_end} * 4, c,
                                  width - blocks_end, y0_out + blocks_end,
                                  y1_out != nullptr ? y1_out + blocks_end : nullptr, u_out + blocks_end / 2,
                                  v_out + blocks_end / 2);
  }
  return blocks_end;
}

}  // namespace vn::encode::i420
