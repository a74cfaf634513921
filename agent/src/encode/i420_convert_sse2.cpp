// SSE2 row kernel: 16 pixels of a row pair per step.
//
// Each 4-byte pixel is split by masks into two views of 16-bit lanes, one
// pixel per 32-bit lane: [byte 0, byte 2] (B and R in either order) and
// [G, A]. madd multiplies both lanes of a view by a coefficient pair and adds
// them, so two madds give the 32-bit weighted sum of a pixel without moving
// any channel across lanes; A always gets weight 0. The lanes hold at most
// 1020 (a 2x2 sum), so madd's signed 16-bit inputs are exact. Only the 2x2
// gathering and the final packs shuffle. See kLumaBias and kChromaBias for why every intermediate fits and
// the results equal the scalar ones bit for bit.
#include <emmintrin.h>

#include <algorithm>

#include "encode/i420_convert_kernels.h"

namespace vn::encode::i420 {
namespace {

inline __m128i pairs(int16_t low_lane, int16_t high_lane) {
  return _mm_setr_epi16(low_lane, high_lane, low_lane, high_lane, low_lane, high_lane, low_lane, high_lane);
}

// Weights for the [byte 0, byte 2] view (`br`) and the [G, A] view (`ga`);
// byte 0 is blue when `kBlueFirst`, else red.
struct Weights {
  __m128i luma_br, luma_ga;
  __m128i u_br, u_ga;
  __m128i v_br, v_ga;
};

template <bool kBlueFirst>
inline Weights weights() {
  const auto br = [](int16_t blue, int16_t red) { return kBlueFirst ? pairs(blue, red) : pairs(red, blue); };
  return {br(25, 66), pairs(129, 0), br(112, -38), pairs(-74, 0), br(-18, 112), pairs(-94, 0)};
}

struct Views {
  __m128i br;  // [byte 0, byte 2] of each pixel, each 0..255
  __m128i ga;  // [G, A] of each pixel
};

inline Views split(const uint8_t* pixels) {
  const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
  return {_mm_and_si128(px, _mm_set1_epi32(0x00FF00FF)), _mm_srli_epi16(px, 8)};
}

inline __m128i luma_sums(const Views& v, const Weights& w) {
  return _mm_add_epi32(_mm_madd_epi16(v.br, w.luma_br), _mm_madd_epi16(v.ga, w.luma_ga));
}

// Biased and shifted in 32-bit lanes, the luma (at most 235) packs signed
// exactly; SSE2 has no unsigned 32-to-16-bit pack for the sums themselves.
inline __m128i luma8(__m128i s0, __m128i s1) {
  const __m128i bias = _mm_set1_epi32(kLumaBias);
  return _mm_packs_epi32(_mm_srli_epi32(_mm_add_epi32(s0, bias), 8), _mm_srli_epi32(_mm_add_epi32(s1, bias), 8));
}

// 2x2 block averages from two views holding the sums of both rows (lanes at
// most 510) of pixels 0..3 (`a`) and 4..7 (`b`): the even and odd pixels are
// gathered with whole-pixel moves and added, giving the four block sums (at
// most 1020, no carry between lanes) in order, then >> 2.
inline __m128i block_averages(__m128i a, __m128i b) {
  const __m128 fa = _mm_castsi128_ps(a);
  const __m128 fb = _mm_castsi128_ps(b);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_srli_epi16(_mm_add_epi16(even, odd), 2);
}

inline __m128i chroma_sums(__m128i br, __m128i ga, __m128i w_br, __m128i w_ga) {
  return _mm_add_epi32(_mm_madd_epi16(br, w_br), _mm_madd_epi16(ga, w_ga));
}

// Chroma bytes 16..240 in 16-bit lanes from the sums of blocks 0..3 and 4..7:
// the sums pack signed exactly (within +-28560) and the bias wraps each 16-bit
// lane to the exact unsigned value.
inline __m128i chroma8(__m128i s0, __m128i s1) {
  const __m128i sums = _mm_packs_epi32(s0, s1);
  return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(static_cast<int16_t>(kChromaBias))), 8);
}

// Results for 8 pixels of the row pair, before packing.
struct Half {
  __m128i y0, y1;  // luma of each row, 16-bit lanes
  __m128i u, v;    // chroma sums of the 4 blocks
};

template <bool kBlueFirst, bool kOneRow>
VN_I420_INLINE Half convert_half(const uint8_t* p0, const uint8_t* p1) {
  const Weights w = weights<kBlueFirst>();
  const Views t0 = split(p0), t1 = split(p0 + 16);
  const Views b0 = kOneRow ? t0 : split(p1), b1 = kOneRow ? t1 : split(p1 + 16);
  const __m128i br = block_averages(_mm_add_epi16(t0.br, b0.br), _mm_add_epi16(t1.br, b1.br));
  const __m128i ga = block_averages(_mm_add_epi16(t0.ga, b0.ga), _mm_add_epi16(t1.ga, b1.ga));
  return {luma8(luma_sums(t0, w), luma_sums(t1, w)), luma8(luma_sums(b0, w), luma_sums(b1, w)),
          chroma_sums(br, ga, w.u_br, w.u_ga), chroma_sums(br, ga, w.v_br, w.v_ga)};
}

template <bool kBlueFirst, bool kOneRow>
VN_I420_INLINE void convert_block(const uint8_t* row0, const uint8_t* row1, uint32_t x, uint8_t* y0_out,
                                  uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  const size_t offset = size_t{x} * 4;
  const Half a = convert_half<kBlueFirst, kOneRow>(row0 + offset, row1 + offset);
  const Half b = convert_half<kBlueFirst, kOneRow>(row0 + offset + 32, row1 + offset + 32);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y0_out + x), _mm_packus_epi16(a.y0, b.y0));
  if (!kOneRow) _mm_storeu_si128(reinterpret_cast<__m128i*>(y1_out + x), _mm_packus_epi16(a.y1, b.y1));
  const __m128i uv = _mm_packus_epi16(chroma8(a.u, b.u), chroma8(a.v, b.v));  // 8 U bytes, then 8 V bytes
  _mm_storel_epi64(reinterpret_cast<__m128i*>(u_out + x / 2), uv);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(v_out + x / 2), _mm_unpackhi_epi64(uv, uv));
}

// Blocks at 0, 16, 32, ... and a last one at the even offset that ends the
// row, or just before an odd width's last column. The last block may overlap
// the one before; it rewrites those outputs with the same values.
template <bool kBlueFirst, bool kOneRow>
uint32_t convert_rows(const uint8_t* row0, const uint8_t* row1, uint32_t width, uint8_t* y0_out, uint8_t* y1_out,
                      uint8_t* u_out, uint8_t* v_out) {
  constexpr uint32_t kBlock = 16;
  const uint32_t last = (width - kBlock) & ~1u;
  for (uint32_t x = 0;; x = std::min(x + kBlock, last)) {
    convert_block<kBlueFirst, kOneRow>(row0, row1, x, y0_out, y1_out, u_out, v_out);
    if (x == last) break;
  }
  return last + kBlock;
}

}  // namespace

uint32_t rows_sse2(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t width, uint8_t* y0_out,
                   uint8_t* y1_out, uint8_t* u_out, uint8_t* v_out) {
  if (width < 16) return 0;
  const bool one_row = y1_out == nullptr;
  if (c.b == 0) {
    return one_row ? convert_rows<true, true>(row0, row0, width, y0_out, y1_out, u_out, v_out)
                   : convert_rows<true, false>(row0, row1, width, y0_out, y1_out, u_out, v_out);
  }
  return one_row ? convert_rows<false, true>(row0, row0, width, y0_out, y1_out, u_out, v_out)
                 : convert_rows<false, false>(row0, row1, width, y0_out, y1_out, u_out, v_out);
}

}  // namespace vn::encode::i420
