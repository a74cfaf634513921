#pragma once

#include <cstdint>

struct TagEncParamExt;

namespace vn::encode {

// A key frame at least every two seconds, never more often than every 30 frames.
inline uint32_t software_intra_period(uint32_t fps) { return fps * 2 > 30 ? fps * 2 : 30; }

// Fills `params` (already holding the library defaults) for real-time
// Constrained Baseline at the given size, rate and bitrate.
void fill_openh264_params(TagEncParamExt& params, uint32_t width, uint32_t height, uint32_t fps,
                          uint32_t bitrate_bps);

}  // namespace vn::encode
