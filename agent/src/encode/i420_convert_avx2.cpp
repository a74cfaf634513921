// AVX2 row kernel: 32 pixels of a row pair per step, the same arithmetic as
// the SSE2 kernel (see there for the two 16-bit lane views and why madd is
// exact on them) on 256-bit registers. AVX2 shuffles and packs work within
// 128-bit halves, so values come out in a fixed half-interleaved order that
// one cross-half permute per output vector puts back; each order is derived
// where it is used.
// Built with -mavx2; only called after a CPUID check.
#include <immintrin.h>

#include <algorithm>

#include "encode/i420_convert_kernels.h"

namespace vn::encode::i420 {
namespace {

inline __m256i pairs(int16_t low_lane, int16_t high_lane) {
  const __m128i pair =
      _mm_setr_epi16(low_lane, high_lane, low_lane, high_lane, low_lane, high_lane, low_lane, high_lane);
  return _mm256_broadcastsi128_si256(pair);
}

// Weights for the [byte 0, byte 2] view (`br`) and the [G, A] view (`ga`);
// byte 0 is blue when `kBlueFirst`, else red.
struct Weights {
  __m256i luma_br, luma_ga;
  __m256i u_br, u_ga;
  __m256i v_br, v_ga;
};

template <bool kBlueFirst>
inline Weights weights() {
  const auto br = [](int16_t blue, int16_t red) { return kBlueFirst ? pairs(blue, red) : pairs(red, blue); };
  return {br(25, 66), pairs(129, 0), br(112, -38), pairs(-74, 0), br(-18, 112), pairs(-94, 0)};
}

struct Views {
  __m256i br;  // [byte 0, byte 2] of each pixel, each 0..255
  __m256i ga;  // [G, A] of each pixel
};

inline Views split(const uint8_t* pixels) {
  const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
  return {_mm256_and_si256(px, _mm256_set1_epi32(0x00FF00FF)), _mm256_srli_epi16(px, 8)};
}

inline __m256i luma_sums(const Views& v, const Weights& w) {
  return _mm256_add_epi32(_mm256_madd_epi16(v.br, w.luma_br), _mm256_madd_epi16(v.ga, w.luma_ga));
}

// The sums (0..56100) pack unsigned to 16 bits exactly, and the bias is added
// in 16-bit lanes without wrapping (at most 60324).
inline __m256i luma16(__m256i s0, __m256i s1) {
  const __m256i sums = _mm256_packus_epi32(s0, s1);
  return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(static_cast<int16_t>(kLumaBias))), 8);
}

// Luma bytes of 32 pixels from the 16-bit luma of pixels 0..15 and 16..31.
// Each pack interleaves its inputs per 128-bit half, so after both the
// 4-pixel groups stand in the order 0, 2, 4, 6 | 1, 3, 5, 7 (group g being
// pixels 4g..4g+3); one 32-bit permute restores 0..7.
inline void store_luma(__m256i lo, __m256i hi, uint8_t* out) {
  const __m256i ordered =
      _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), ordered);
}

// 2x2 block averages from two views holding the sums of both rows (lanes at
// most 510) of pixels 0..7 (`a`) and 8..15 (`b`): even and odd pixels are
// gathered with whole-pixel moves and added (block sums at most 1020, no carry
// between lanes), then >> 2. Per half, the result holds blocks 0, 1, 4, 5 |
// 2, 3, 6, 7.
inline __m256i block_averages(__m256i a, __m256i b) {
  const __m256 fa = _mm256_castsi256_ps(a);
  const __m256 fb = _mm256_castsi256_ps(b);
  const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm256_srli_epi16(_mm256_add_epi16(even, odd), 2);
}

inline __m256i chroma_sums(__m256i br, __m256i ga, __m256i w_br, __m256i w_ga) {
  return _mm256_add_epi32(_mm256_madd_epi16(br, w_br), _mm256_madd_epi16(ga, w_ga));
}

// Chroma bytes 16..240 in 16-bit lanes from the sums of blocks 0..7 and
// 8..15: the sums pack signed exactly (within +-28560) and the bias wraps each
// 16-bit lane to the exact unsigned value. Block order per half: 0, 1, 4, 5,
// 8, 9, 12, 13 | 2, 3, 6, 7, 10, 11, 14, 15.
inline __m256i chroma16(__m256i s0, __m256i s1) {
  const __m256i sums = _mm256_packs_epi32(s0, s1);
  return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(static_cast<int16_t>(kChromaBias))), 8);
}

// Results for 16 pixels of the row pair, before the final packs.
struct Half {
  __m256i y0, y1;  // luma of each row, 16-bit lanes
  __m256i u, v;    // chroma sums of the 8 blocks
};

template <bool kBlueFirst, bool kOneRow>
VN_I420_INLINE Half convert_half(const uint8_t* p0, const uint8_t* p1) {
  const Weights w = weights<kBlueFirst>();
  const Views t0 = split(p0), t1 = split(p0 + 32);
  const Views b0 = kOneRow ? t0 : split(p1), b1 = kOneRow ? t1 : split(p1 + 32);
  const __m256i br = block_averages(_mm256_add_epi16(t0.br, b0.br), _mm256_add_epi16(t1.br, b1.br));
  const __m256i ga = block_averages(_mm256_add_epi16(t0.ga, b0.ga), _mm256_add_epi16(t1.ga, b1.ga));
  return {luma16(luma_sums(t0, w), luma_sums(t1, w)), luma16(luma_sums(b0, w), luma_sums(b1, w)),
          chroma_sums(br, ga, w.u_br, w.u_ga), chroma_sums(br, ga, w.v_br, w.v_ga)};
}

template <bool kBlueFirst, bool kOneRow>
VN_I420_INLINE void convert_block(const uint8_t* row0, const uint8_t* row1, uint32_t x, uint8_t* y0_out,
                                  uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  const size_t offset = size_t{x} * 4;
  const Half a = convert_half<kBlueFirst, kOneRow>(row0 + offset, row1 + offset);
  const Half b = convert_half<kBlueFirst, kOneRow>(row0 + offset + 64, row1 + offset + 64);
  store_luma(a.y0, b.y0, y0_out + x);
  if (!kOneRow) store_luma(a.y1, b.y1, y1_out + x);

  // Bytes per half: U of blocks {0,1}{4,5}{8,9}{12,13}, V of the same | U of
  // {2,3}{6,7}{10,11}{14,15}, V of the same. The 64-bit permute gathers the U
  // pairs into the low half and the V pairs into the high one; the byte
  // shuffle then interleaves the pairs of the two former halves.
  const __m256i uv =
      _mm256_permute4x64_epi64(_mm256_packus_epi16(chroma16(a.u, b.u), chroma16(a.v, b.v)), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i pair_order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                              0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i ordered = _mm256_shuffle_epi8(uv, pair_order);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(u_out + x / 2), _mm256_castsi256_si128(ordered));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(v_out + x / 2), _mm256_extracti128_si256(ordered, 1));
}

// Blocks at 0, 32, 64, ... and a last one at the even offset that ends the
// row, or just before an odd width's last column. The last block may overlap
// the one before; it rewrites those outputs with the same values.
template <bool kBlueFirst, bool kOneRow>
uint32_t convert_rows(const uint8_t* row0, const uint8_t* row1, uint32_t width, uint8_t* y0_out, uint8_t* y1_out,
                      uint8_t* u_out, uint8_t* v_out) {
  constexpr uint32_t kBlock = 32;
  const uint32_t last = (width - kBlock) & ~1u;
  for (uint32_t x = 0;; x = std::min(x + kBlock, last)) {
    convert_block<kBlueFirst, kOneRow>(row0, row1, x, y0_out, y1_out, u_out, v_out);
    if (x == last) break;
  }
  return last + kBlock;
}

}  // namespace

uint32_t rows_avx2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  // Rows narrower than one block go to the 16-pixel kernel.
  if (width < 32) return rows_sse2(row0, row1, c, width, y0_out, y1_out, u_out, v_out);
  const bool one_row = y1_out == nullptr;
  if (c.b == 0) {
    return one_row ? convert_rows<true, true>(row0, row0, width, y0_out, y1_out, u_out, v_out)
                   : convert_rows<true, false>(row0, row1, width, y0_out, y1_out, u_out, v_out);
  }
  return one_row ? convert_rows<false, true>(row0, row0, width, y0_out, y1_out, u_out, v_out)
                 : convert_rows<false, false>(row0, row1, width, y0_out, y1_out, u_out, v_out);
}

}  // namespace vn::encode::i420
