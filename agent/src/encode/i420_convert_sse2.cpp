// SSE2 row kernel: 16 pixels of a row pair per step. All arithmetic is in
// 16-bit lanes; every result fits them (luma sums below 65536 unsigned, chroma
// sums within +-28688 signed), and wrapping arithmetic is exact whenever the
// final value fits, so the results equal the scalar ones bit for bit.
#include <emmintrin.h>

#include "encode/i420_convert_kernels.h"

namespace vn::encode::i420 {
namespace {

struct Planar16 {
  __m128i lo;  // pixels 0..7 of the block, one 16-bit lane each
  __m128i hi;  // pixels 8..15
};

// One channel (at byte `shift` / 8 of each pixel) of 16 pixels as 16-bit lanes.
inline Planar16 channel(const __m128i px[4], __m128i shift) {
  const __m128i mask = _mm_set1_epi32(0xFF);
  const __m128i a = _mm_and_si128(_mm_srl_epi32(px[0], shift), mask);
  const __m128i b = _mm_and_si128(_mm_srl_epi32(px[1], shift), mask);
  const __m128i c = _mm_and_si128(_mm_srl_epi32(px[2], shift), mask);
  const __m128i d = _mm_and_si128(_mm_srl_epi32(px[3], shift), mask);
  return {_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)};
}

inline __m128i luma8(__m128i r, __m128i g, __m128i b) {
  __m128i sum = _mm_mullo_epi16(r, _mm_set1_epi16(66));
  sum = _mm_add_epi16(sum, _mm_mullo_epi16(g, _mm_set1_epi16(129)));
  sum = _mm_add_epi16(sum, _mm_mullo_epi16(b, _mm_set1_epi16(25)));
  sum = _mm_add_epi16(sum, _mm_set1_epi16(128));
  const __m128i y = _mm_add_epi16(_mm_srli_epi16(sum, 8), _mm_set1_epi16(16));
  return _mm_min_epi16(y, _mm_set1_epi16(235));
}

struct Rgb16 {
  Planar16 r, g, b;
};

inline Rgb16 load_block(const uint8_t* row, uint32_t x, Channels c) {
  __m128i px[4];
  for (int i = 0; i < 4; ++i) px[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + (size_t{x} + 4 * i) * 4));
  return {channel(px, _mm_cvtsi32_si128(static_cast<int>(c.r * 8))),
          channel(px, _mm_cvtsi32_si128(static_cast<int>(c.g * 8))),
          channel(px, _mm_cvtsi32_si128(static_cast<int>(c.b * 8)))};
}

inline void store_luma(const Rgb16& p, uint8_t* out) {
  const __m128i lo = luma8(p.r.lo, p.g.lo, p.b.lo);
  const __m128i hi = luma8(p.r.hi, p.g.hi, p.b.hi);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(lo, hi));
}

// 2x2 averages of one channel over the row pair: 8 samples as 16-bit lanes.
inline __m128i average_2x2(const Planar16& top, const Planar16& bottom) {
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i pairs_lo = _mm_madd_epi16(_mm_add_epi16(top.lo, bottom.lo), ones);
  const __m128i pairs_hi = _mm_madd_epi16(_mm_add_epi16(top.hi, bottom.hi), ones);
  return _mm_srli_epi16(_mm_packs_epi32(pairs_lo, pairs_hi), 2);
}

// ((k0 * a - k1 * b - k2 * c + 128) >> 8) + 128, as bytes in the low 8 lanes.
inline __m128i chroma8(__m128i a, __m128i b, __m128i c, int16_t k0, int16_t k1, int16_t k2) {
  __m128i sum = _mm_mullo_epi16(a, _mm_set1_epi16(k0));
  sum = _mm_sub_epi16(sum, _mm_mullo_epi16(b, _mm_set1_epi16(k1)));
  sum = _mm_sub_epi16(sum, _mm_mullo_epi16(c, _mm_set1_epi16(k2)));
  sum = _mm_add_epi16(sum, _mm_set1_epi16(128));
  const __m128i value = _mm_add_epi16(_mm_srai_epi16(sum, 8), _mm_set1_epi16(128));
  return _mm_packus_epi16(value, value);
}

}  // namespace

uint32_t rows_sse2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  const uint32_t blocks_end = width & ~15u;
  for (uint32_t x = 0; x < blocks_end; x += 16) {
    const Rgb16 top = load_block(row0, x, c);
    const Rgb16 bottom = row1 == row0 ? top : load_block(row1, x, c);
    store_luma(top, y0_out + x);
    if (y1_out != nullptr) store_luma(bottom, y1_out + x);

    const __m128i r = average_2x2(top.r, bottom.r);
    const __m128i g = average_2x2(top.g, bottom.g);
    const __m128i b = average_2x2(top.b, bottom.b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u_out + x / 2), chroma8(b, g, r, 112, 74, 38));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v_out + x / 2), chroma8(r, g, b, 112, 94, 18));
  }
  return blocks_end;
}

}  // namespace vn::encode::i420
