// vn_session_bench: the session's real frame loop end to end on this machine,
// printed as figures (not a pass/fail test). For each configuration a private
// Xvfb of that size is started and a painter thread (its own X connection)
// scrolls a textured picture with moving rectangles over most of the screen
// every frame period, like a game. The FrameLoop then runs on the main thread
// with the X11 capturer, the OpenH264 software encoder, the packetizer at a
// 10 % repair ratio, ChaCha20-Poly1305 sealing and a UdpSender to a loopback
// receiver, which rebuilds the frames with a FrameAssembler and records the
// capture-to-complete latency of each.
//
// Every time is wall-clock on now_us() (CLOCK_MONOTONIC, µs), shared by the
// sending and the receiving side of the loopback. Xvfb draws and serves the
// captures in its own process on the same cores, as a game would compete.
//
// Usage: vn_session_bench [--seconds N] [--size WxH --fps F] [--bitrate-kbps K] [--content-fps C]
// Without --size: 1280x720 @ 30 fps (8 Mbit/s), 1920x1080 @ 60 fps (15 Mbit/s),
// then 1280x720 @ 60 fps (8 Mbit/s) with the picture changing at 33 Hz only,
// the case where still-screen key frames must not fire. Each prints its key
// frames and its bitrate against the configured one.
#include <X11/Xlib.h>
#include <sodium.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/base/clock.h"
#include "session/session_run_linux.h"

namespace {

using vn::bench::Config;

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}
bool parse_uint(const char* text, uint32_t& out) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 100000) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

uint32_t default_bitrate(uint32_t height) { return height <= 720 ? 8'000'000 : 15'000'000; }

int usage() {
  std::fprintf(stderr,
               "usage: vn_session_bench [--seconds N] [--size WxH --fps F] [--bitrate-kbps K] [--content-fps C]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t seconds = 10;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  uint32_t bitrate_kbps = 0;
  uint32_t content_fps = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage();
    bool ok = false;
    if (arg == "--seconds") {
      ok = parse_uint(value, seconds);
    } else if (arg == "--fps") {
      ok = parse_uint(value, fps);
    } else if (arg == "--content-fps") {
      ok = parse_uint(value, content_fps);
    } else if (arg == "--bitrate-kbps") {
      ok = parse_uint(value, bitrate_kbps);
    } else if (arg == "--size") {
      const std::string size = value;
      const size_t x = size.find('x');
      ok = x != std::string::npos && parse_uint(size.substr(0, x).c_str(), width) &&
           parse_uint(size.substr(x + 1).c_str(), height);
    }
    if (!ok) return usage();
    ++i;
  }

  if (XInitThreads() == 0 || sodium_init() < 0) {
    std::fprintf(stderr, "Xlib threads or libsodium could not be initialised\n");
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures and the libraries' stderr lines in order
  spdlog::set_level(spdlog::level::warn);
  vn::init_clock();
  std::printf("machine: %s, %u logical cores\n", cpu_model().c_str(), std::thread::hardware_concurrency());

  std::vector<Config> configs;
  if (width != 0) {
    const uint32_t rate = fps != 0 ? fps : 60;
    configs.push_back({width, height, rate, bitrate_kbps != 0 ? bitrate_kbps * 1000 : default_bitrate(height), seconds,
                       content_fps});
  } else {
    configs.push_back({1280, 720, 30, bitrate_kbps != 0 ? bitrate_kbps * 1000 : 8'000'000, seconds});
    configs.push_back({1920, 1080, 60, bitrate_kbps != 0 ? bitrate_kbps * 1000 : 15'000'000, seconds});
    configs.push_back({1280, 720, 60, bitrate_kbps != 0 ? bitrate_kbps * 1000 : 8'000'000, seconds, 33});
  }
  bool all_ran = true;
  for (const Config& config : configs) all_ran = vn::bench::run_config(config) && all_ran;
  return all_ran ? 0 : 1;
}
