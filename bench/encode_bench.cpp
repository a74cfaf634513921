// Colour conversion and software encoding costs per frame.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "encode/i420_convert.h"
#include "encode/software_encoder.h"

namespace {

using vn::encode::ConvertPath;

std::vector<uint8_t> random_bgra(uint32_t width, uint32_t height) {
  std::vector<uint8_t> pixels(size_t{width} * height * 4);
  std::mt19937 random(1);
  for (auto& byte : pixels) byte = static_cast<uint8_t>(random());
  return pixels;
}

void BM_ConvertToI420(benchmark::State& state) {
  const auto path = static_cast<ConvertPath>(state.range(0));
  const auto width = static_cast<uint32_t>(state.range(1));
  const auto height = static_cast<uint32_t>(state.range(2));
  if (!vn::encode::convert_path_supported(path)) {
    state.SkipWithError("path not supported on this processor");
    return;
  }
  state.SetLabel(vn::encode::convert_path_name(path));
  const auto source = random_bgra(width, height);
  std::vector<uint8_t> i420(vn::encode::I420Layout::of(width, height).total_size());
  for (auto _ : state) {
    vn::encode::convert_to_i420(path, source.data(), size_t{width} * 4, vn::capture::PixelOrder::kBgra, width,
                                height, i420.data());
    benchmark::DoNotOptimize(i420.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
// 1080p and 720p frames on every path, plus a 480x270 picture whose source and
// output stay in the core's L2 cache: that one shows the kernels' arithmetic
// cost apart from memory traffic.
BENCHMARK(BM_ConvertToI420)
    ->ArgsProduct({{int(ConvertPath::kScalar), int(ConvertPath::kSse2), int(ConvertPath::kAvx2)}, {1920}, {1080}})
    ->ArgsProduct({{int(ConvertPath::kScalar), int(ConvertPath::kSse2), int(ConvertPath::kAvx2)}, {1280}, {720}})
    ->ArgsProduct({{int(ConvertPath::kSse2), int(ConvertPath::kAvx2)}, {480}, {270}})
    ->Unit(benchmark::kMicrosecond);

// A moving gradient with a travelling block: desktop-like content.
void fill_frame(std::vector<uint8_t>& pixels, uint32_t width, uint32_t height, uint32_t n) {
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = pixels.data() + (size_t{y} * width + x) * 4;
      const bool block = ((x + n * 8) / 64 + y / 64) % 5 == 0;
      p[0] = block ? 250 : uint8_t(x + n);
      p[1] = block ? 40 : uint8_t(y);
      p[2] = uint8_t((x ^ y) + n);
      p[3] = 255;
    }
  }
}

void BM_SoftwareEncode(benchmark::State& state) {
  const auto width = static_cast<uint32_t>(state.range(0));
  const auto height = static_cast<uint32_t>(state.range(1));
  vn::encode::SoftwareEncoder encoder;
  vn::encode::EncoderConfig config;
  config.width = width;
  config.height = height;
  config.fps = 30;
  config.bitrate_bps = width >= 1920 ? 15000000 : 8000000;
  if (!encoder.initialize(vn::capture::DeviceHandle::cpu(), config)) {
    state.SkipWithError("encoder did not open");
    return;
  }
  constexpr uint32_t kFrames = 8;
  std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(size_t{width} * height * 4));
  for (uint32_t i = 0; i < kFrames; ++i) fill_frame(frames[i], width, height, i);
  uint32_t n = 0;
  vn::encode::EncodedFrame out;
  for (auto _ : state) {
    vn::capture::CapturedFrame frame;
    frame.picture = {frames[n % kFrames].data(), width, height, width * 4, vn::capture::PixelOrder::kBgra};
    frame.frame_number = ++n;
    frame.timestamp_us = uint64_t{n} * 33333;
    frame.width = width;
    frame.height = height;
    frame.is_new = true;
    benchmark::DoNotOptimize(encoder.encode(frame, out));
  }
}
BENCHMARK(BM_SoftwareEncode)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
