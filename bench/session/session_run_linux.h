#pragma once

#include <cstdint>

namespace vn::bench {

// One measured configuration of the frame loop.
struct Config {
  uint32_t width = 1280;
  uint32_t height = 720;
  uint32_t fps = 30;
  uint32_t bitrate_bps = 8'000'000;
  uint32_t seconds = 10;
  uint32_t content_fps = 0;  // how often the picture changes; 0: every frame
};

// Runs the frame loop for `config` on a private Xvfb with a painter and a
// loopback receiver and prints its figures. False when a part did not start
// or no frame went out.
bool run_config(const Config& config);

}  // namespace vn::bench
