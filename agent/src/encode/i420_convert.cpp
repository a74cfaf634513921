#include "encode/i420_convert.h"

#include <algorithm>

#include "encode/i420_convert_kernels.h"

namespace vn::encode {
namespace i420 {

void luma_row_scalar(const uint8_t* row, Channels c, uint32_t x_begin, uint32_t x_end, uint8_t* y_out) {
  for (uint32_t x = x_begin; x < x_end; ++x) {
    const uint8_t* p = row + size_t{x} * 4;
    y_out[x] = luma(p[c.r], p[c.g], p[c.b]);
  }
}

void chroma_rows_scalar(const uint8_t* row0, const uint8_t* row1, Channels c, uint32_t x_begin, uint32_t x_end,
                        uint32_t width, uint8_t* u_out, uint8_t* v_out) {
  for (uint32_t x = x_begin; x < x_end; x += 2) {
    const uint32_t x1 = std::min(x + 1, width - 1);
    const uint8_t* a = row0 + size_t{x} * 4;
    const uint8_t* b = row0 + size_t{x1} * 4;
    const uint8_t* d = row1 + size_t{x} * 4;
    const uint8_t* e = row1 + size_t{x1} * 4;
    const int r = (a[c.r] + b[c.r] + d[c.r] + e[c.r]) >> 2;
    const int g = (a[c.g] + b[c.g] + d[c.g] + e[c.g]) >> 2;
    const int bl = (a[c.b] + b[c.b] + d[c.b] + e[c.b]) >> 2;
    u_out[x / 2] = chroma_u(r, g, bl);
    v_out[x / 2] = chroma_v(r, g, bl);
  }
}

}  // namespace i420

const char* convert_path_name(ConvertPath path) {
  switch (path) {
    case ConvertPath::kScalar: return "scalar";
    case ConvertPath::kSse2: return "SSE2";
    case ConvertPath::kAvx2: return "AVX2";
  }
  return "unknown";
}

bool convert_path_supported(ConvertPath path) {
  return path == ConvertPath::kScalar || i420::simd_rows_kernel(path) != nullptr;
}

ConvertPath best_convert_path() {
  static const ConvertPath best = [] {
    for (ConvertPath path : {ConvertPath::kAvx2, ConvertPath::kSse2}) {
      if (convert_path_supported(path)) return path;
    }
    return ConvertPath::kScalar;
  }();
  return best;
}

void convert_to_i420(ConvertPath path, const uint8_t* source, size_t source_pitch, capture::PixelOrder order,
                     uint32_t width, uint32_t height, uint8_t* i420) {
  if (width == 0 || height == 0) return;
  const I420Layout layout = I420Layout::of(width, height);
  uint8_t* y_plane = i420;
  uint8_t* u_plane = i420 + layout.luma_size();
  uint8_t* v_plane = u_plane + layout.chroma_size();
  const i420::Channels channels = order == capture::PixelOrder::kBgra ? i420::Channels{0, 1, 2} : i420::Channels{2, 1, 0};
  const i420::RowsKernel kernel = path == ConvertPath::kScalar ? nullptr : i420::simd_rows_kernel(path);

  for (uint32_t y = 0; y < height; y += 2) {
    const bool has_second_row = y + 1 < height;
    const uint8_t* row0 = source + size_t{y} * source_pitch;
    const uint8_t* row1 = has_second_row ? row0 + source_pitch : row0;
    uint8_t* y0 = y_plane + size_t{y} * width;
    uint8_t* y1 = has_second_row ? y0 + width : nullptr;
    uint8_t* u = u_plane + size_t{y / 2} * layout.chroma_width;
    uint8_t* v = v_plane + size_t{y / 2} * layout.chroma_width;

    // The kernel leaves at most an odd width's last column (or rows narrower
    // than its block) to the scalar code below.
    const uint32_t done = kernel != nullptr ? kernel(row0, row1, channels, width, y0, y1, u, v) : 0;
    i420::luma_row_scalar(row0, channels, done, width, y0);
    if (y1 != nullptr) i420::luma_row_scalar(row1, channels, done, width, y1);
    i420::chroma_rows_scalar(row0, row1, channels, done, width, width, u, v);
  }
}

void convert_to_i420(const uint8_t* source, size_t source_pitch, capture::PixelOrder order, uint32_t width, uint32_t height,
                     uint8_t* i420) {
  convert_to_i420(best_convert_path(), source, source_pitch, order, width, height, i420);
}

}  // namespace vn::encode
