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
// Usage: vn_session_bench [--seconds N] [--size WxH --fps F] [--bitrate-kbps K]
// Without --size: 1280x720 @ 30 fps (8 Mbit/s), then 1920x1080 @ 60 fps (15 Mbit/s).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <netinet/in.h>
#include <poll.h>
#include <sodium.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "capture/desktop_capturer.h"
#include "core/clock.h"
#include "core/frame_loop.h"
#include "core/loop_clock.h"
#include "core/session_control.h"
#include "encode/i420_convert.h"
#include "encode/software_encoder.h"
#include "network/encryption.h"
#include "network/frame_assembler.h"
#include "network/packetizer.h"
#include "network/udp_sender.h"
#include "support/xvfb_linux.h"

namespace {

using vn::capture::CaptureStatus;
using vn::capture::DesktopCapturer;

constexpr uint32_t kRepairRatio = 1000;             // 0.01 % units: 10 %
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;  // so loopback bursts are not dropped
constexpr uint32_t kScrollPixelsPerSecond = 240;

// ---------------------------------------------------------------------------
// Figures

// Durations in microseconds.
struct Samples {
  std::vector<uint64_t> values;

  void add(uint64_t v) { values.push_back(v); }
  bool empty() const { return values.empty(); }
  double mean() const {
    if (values.empty()) return 0.0;
    double sum = 0.0;
    for (uint64_t v : values) sum += static_cast<double>(v);
    return sum / static_cast<double>(values.size());
  }
  // Nearest rank: the smallest value with at least `fraction` of the samples at or below it.
  double percentile(double fraction) const {
    if (values.empty()) return 0.0;
    std::vector<uint64_t> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]);
  }
  uint64_t sum() const {
    uint64_t total = 0;
    for (uint64_t v : values) total += v;
    return total;
  }
};

double ms(double us) { return us / 1000.0; }

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

// ---------------------------------------------------------------------------
// Per-frame stage samples. The loop's StageTimes are sums; these are the same
// stages one frame at a time, for the medians. Main thread only.

struct StageSamples {
  Samples capture, encode, packetize, seal, enqueue;
  uint64_t unsplit_frames = 0;  // frames whose packetize/seal could not be told apart
};

// Time of the stages of the frame being built, until it reaches the sender.
struct PendingFrame {
  uint64_t capture_us = 0;  // every capture call since the last frame went out
  uint64_t encode_us = 0;   // every encode call since then (skipped pictures included)
};

// The loop clock with a probe: after an encode that produced a picture, it
// keeps the loop's next clock reads. The loop reads the clock at the end of
// the encode, at the end of packetizing, and around sealing, so four reads lie
// between the encoder's return and the send callback; their differences are
// exactly the loop's packetize and seal figures for that frame.
class ProbeClock final : public vn::LoopClock {
 public:
  uint64_t now_us() override {
    const uint64_t now = vn::now_us();
    if (armed_) {
      if (count_ < reads_.size()) reads_[count_] = now;
      ++count_;
    }
    return now;
  }
  void sleep_us(uint64_t duration_us) override { vn::system_loop_clock().sleep_us(duration_us); }
  void spin() override { vn::system_loop_clock().spin(); }

  void arm() {
    armed_ = true;
    count_ = 0;
  }
  void disarm() { armed_ = false; }

  // At the send callback: the frame's packetize and seal times, when the
  // reads since the encode are the expected four.
  std::optional<std::pair<uint64_t, uint64_t>> take() {
    const bool ok = armed_ && count_ == reads_.size();
    armed_ = false;
    if (!ok) return std::nullopt;
    return std::make_pair(reads_[1] - reads_[0], reads_[3] - reads_[2]);
  }

 private:
  bool armed_ = false;
  size_t count_ = 0;
  std::array<uint64_t, 4> reads_{};
};

// The X11 capturer, timing each capture_frame() call.
class TimedCapturer final : public DesktopCapturer {
 public:
  TimedCapturer(std::unique_ptr<DesktopCapturer> inner, PendingFrame& pending)
      : inner_(std::move(inner)), pending_(pending) {}

  bool initialize() override { return inner_->initialize(); }
  bool select_output(uint32_t index) override { return inner_->select_output(index); }
  CaptureStatus capture_frame(vn::encode::CapturedFrame& out) override {
    const uint64_t t0 = vn::now_us();
    const CaptureStatus status = inner_->capture_frame(out);
    pending_.capture_us += vn::now_us() - t0;
    if (status == CaptureStatus::kNewFrame) ++new_frames;
    if (status == CaptureStatus::kNoChange) ++no_change;
    return status;
  }
  CaptureStatus repeat_last_frame(vn::encode::CapturedFrame& out) override { return inner_->repeat_last_frame(out); }
  void release_frame() override { inner_->release_frame(); }
  vn::encode::DeviceHandle device() const override { return inner_->device(); }
  uint32_t width() const override { return inner_->width(); }
  uint32_t height() const override { return inner_->height(); }
  std::string backend_name() const override { return inner_->backend_name(); }

  DesktopCapturer& inner() { return *inner_; }

  uint64_t new_frames = 0;
  uint64_t no_change = 0;

 private:
  std::unique_ptr<DesktopCapturer> inner_;
  PendingFrame& pending_;
};

// The software encoder, timing each encode() call and arming the probe clock.
class TimedEncoder final : public vn::encode::IVideoEncoder {
 public:
  TimedEncoder(PendingFrame& pending, ProbeClock& clock) : pending_(pending), clock_(clock) {}

  bool initialize(const vn::encode::DeviceHandle& device, const vn::encode::EncoderConfig& config) override {
    return inner_.initialize(device, config);
  }
  bool encode(const vn::encode::CapturedFrame& frame, vn::encode::EncodedFrame& out) override {
    const uint64_t t0 = vn::now_us();
    const bool encoded = inner_.encode(frame, out);
    pending_.encode_us += vn::now_us() - t0;
    if (encoded) {
      clock_.arm();
    } else {
      clock_.disarm();
      ++skipped;
    }
    return encoded;
  }
  void request_idr() override { inner_.request_idr(); }
  void reconfigure_bitrate(uint32_t bitrate_bps) override { inner_.reconfigure_bitrate(bitrate_bps); }
  bool reconfigure_resolution(uint32_t width, uint32_t height) override {
    return inner_.reconfigure_resolution(width, height);
  }
  vn::encode::EncoderInfo info() const override { return inner_.info(); }
  void shutdown() override { inner_.shutdown(); }

  uint64_t skipped = 0;  // pictures the encoder produced nothing for

 private:
  vn::encode::SoftwareEncoder inner_;
  PendingFrame& pending_;
  ProbeClock& clock_;
};

// ---------------------------------------------------------------------------
// The painter: its own X connection and thread, drawing every frame period.

class Painter {
 public:
  Painter(uint32_t width, uint32_t height, uint32_t fps) : width_(width), height_(height), fps_(fps) {}
  ~Painter() {
    thread_ = {};  // requests stop and joins
    if (display_ != nullptr) {
      XFreeGC(display_, gc_);
      XFreePixmap(display_, texture_);
      XCloseDisplay(display_);
    }
  }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  // Opens `display_name`, uploads the texture, paints the first frame and
  // starts the thread. False when the display cannot be opened.
  bool start(const std::string& display_name) {
    display_ = XOpenDisplay(display_name.c_str());
    if (display_ == nullptr) return false;
    root_ = DefaultRootWindow(display_);
    gc_ = XCreateGC(display_, root_, 0, nullptr);
    upload_texture();
    XSetForeground(display_, gc_, 0x202428);
    XFillRectangle(display_, root_, gc_, 0, 0, width_, height_);
    paint(0);
    XSync(display_, False);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    return true;
  }

  uint64_t frames_painted() const { return painted_.load(); }

 private:
  // The screen below the status strip: the scrolling picture.
  uint32_t scene_height() const { return height_ - height_ / 10; }

  // A picture twice the screen's width whose halves are equal, so a scroll
  // offset in [0, width) always has a whole screen of it: a colour gradient
  // with soft bands and fine grain, detail an encoder has to spend bits on.
  void upload_texture() {
    const uint32_t tex_width = 2 * width_;
    const uint32_t tex_height = scene_height();
    texture_ = XCreatePixmap(display_, root_, tex_width, tex_height, 24);
    std::vector<uint32_t> pixels(size_t{tex_width} * tex_height);
    for (uint32_t y = 0; y < tex_height; ++y) {
      for (uint32_t x = 0; x < tex_width; ++x) {
        const uint32_t u = x % width_;
        uint32_t hash = u * 2654435761u ^ y * 2246822519u;
        hash ^= hash >> 15;
        const int grain = static_cast<int>(hash & 31) - 16;
        const int band = ((u / 24 + y / 16) % 8) * 6;
        const auto channel = [&](int base) { return static_cast<uint32_t>(std::clamp(base + band + grain, 0, 255)); };
        const uint32_t r = channel(static_cast<int>(u * 200 / width_));
        const uint32_t g = channel(static_cast<int>(y * 200 / tex_height));
        const uint32_t b = channel(static_cast<int>(((u + y) % 512) / 3));
        pixels[size_t{y} * tex_width + x] = r << 16 | g << 8 | b;
      }
    }
    XImage* image = XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.data()), tex_width, tex_height, 32, 0);
    XPutImage(display_, texture_, gc_, image, 0, 0, 0, 0, tex_width, tex_height);
    image->data = nullptr;  // the vector owns the pixels
    XDestroyImage(image);
  }

  // Frame `n`: the picture scrolled, six rectangles bouncing across it and a
  // counter bar in the status strip.
  void paint(uint64_t n) {
    const uint32_t scene = scene_height();
    const uint64_t offset = n * kScrollPixelsPerSecond / fps_ % width_;
    XCopyArea(display_, texture_, root_, gc_, static_cast<int>(offset), 0, width_, scene, 0, 0);
    const uint32_t box_w = width_ / 8;
    const uint32_t box_h = scene / 6;
    for (uint32_t i = 0; i < 6; ++i) {
      const uint64_t span_x = width_ - box_w;
      const uint64_t span_y = scene - box_h;
      const uint64_t px = (n * (7 + 3 * i) + i * 157) % (2 * span_x);
      const uint64_t py = (n * (5 + 2 * i) + i * 97) % (2 * span_y);
      const auto x = static_cast<int>(px < span_x ? px : 2 * span_x - px);
      const auto y = static_cast<int>(py < span_y ? py : 2 * span_y - py);
      XSetForeground(display_, gc_, 0x3060A0 + (i * 0x251709 + n * 0x010203) % 0x9F9F5F);
      XFillRectangle(display_, root_, gc_, x, y, box_w, box_h);
    }
    XSetForeground(display_, gc_, 0x202428);
    XFillRectangle(display_, root_, gc_, 0, static_cast<int>(scene), width_, height_ - scene);
    XSetForeground(display_, gc_, 0xE0C040);
    XFillRectangle(display_, root_, gc_, 16, static_cast<int>(scene) + 8, static_cast<unsigned>(16 + n % 240) * 4,
                   (height_ - scene) / 3);
  }

  void run(const std::stop_token& stop) {
    const auto period = std::chrono::microseconds(1'000'000 / fps_);
    auto next = std::chrono::steady_clock::now();
    for (uint64_t n = 1; !stop.stop_requested(); ++n) {
      next += period;
      std::this_thread::sleep_until(next);
      paint(n);
      XSync(display_, False);  // one frame's drawing done before the next
      painted_.store(n);
    }
  }

  uint32_t width_;
  uint32_t height_;
  uint32_t fps_;
  Display* display_ = nullptr;
  Window root_ = 0;
  GC gc_{};
  Pixmap texture_ = 0;
  std::atomic<uint64_t> painted_{0};
  std::jthread thread_;  // last: stopped before the members it uses go
};

// ---------------------------------------------------------------------------
// The receiving end on loopback: its own thread, a FrameAssembler with the key.

class LoopbackReceiver {
 public:
  explicit LoopbackReceiver(std::span<const uint8_t, vn::network::Encryption::kKeySize> key) : assembler_(key) {}
  ~LoopbackReceiver() {
    stop();
    if (fd_ >= 0) close(fd_);
  }
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

  // Binds 127.0.0.1 on an ephemeral port with a 4 MiB receive buffer and
  // starts reading. False when the socket cannot be made.
  bool open() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) return false;
    // Past net.core.rmem_max only the forcing option (root) gets the size.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof(kReceiveBufferBytes)) != 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof(kReceiveBufferBytes));
    }
    socklen_t length = sizeof(buffer_bytes_);
    getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer_bytes_, &length);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
    length = sizeof(address);
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // Joins the thread; the figures below are final afterwards.
  void stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  uint16_t port() const { return port_; }
  // SO_RCVBUF as the kernel reports it: twice the size asked for (the kernel's bookkeeping share).
  int buffer_bytes() const { return buffer_bytes_; }
  uint64_t frames_given_up() const { return assembler_.frames_given_up(); }

  Samples latency;  // capture to complete, per frame
  uint64_t datagrams = 0;
  uint64_t rejected = 0;
  uint64_t frames = 0;
  uint64_t rebuilt = 0;

 private:
  void run() {
    std::vector<uint8_t> buffer(65536);
    vn::network::FrameAssembler::Frame frame;
    while (!stopping_.load()) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      while (true) {
        const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) break;
        ++datagrams;
        const auto result =
            assembler_.add_datagram(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), &frame);
        const uint64_t now = vn::now_us();
        if (result == vn::network::FrameAssembler::Result::kRejected) ++rejected;
        if (result != vn::network::FrameAssembler::Result::kFrameComplete) continue;
        ++frames;
        if (frame.rebuilt) ++rebuilt;
        if (frame.capture_timestamp_us != 0 && now >= frame.capture_timestamp_us) {
          latency.add(now - frame.capture_timestamp_us);
        }
      }
    }
  }

  vn::network::FrameAssembler assembler_;
  int fd_ = -1;
  uint16_t port_ = 0;
  int buffer_bytes_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// An asio context run by two worker threads until destruction.
class IoThreads {
 public:
  IoThreads() : guard_(asio::make_work_guard(io)) {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io.run(); });
  }
  ~IoThreads() {
    guard_.reset();
    io.stop();
    for (auto& thread : threads_) thread.join();
  }
  IoThreads(const IoThreads&) = delete;
  IoThreads& operator=(const IoThreads&) = delete;

  asio::io_context io;

 private:
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

// Sets `running` false after `seconds`, or at destruction.
class StopAfter {
 public:
  StopAfter(std::atomic<bool>& running, uint32_t seconds)
      : thread_([&running, seconds](std::stop_token stop) {
          std::mutex mutex;
          std::condition_variable_any cv;
          std::unique_lock lock(mutex);
          cv.wait_for(lock, stop, std::chrono::seconds(seconds), [] { return false; });
          running.store(false);
        }) {}

 private:
  std::jthread thread_;
};

// ---------------------------------------------------------------------------
// The colour conversion on its own, at the encoder's size, from a real capture.

Samples measure_conversion(DesktopCapturer& capturer, uint32_t width, uint32_t height) {
  std::vector<uint8_t> source(size_t{width} * height * 4, 0x80);
  size_t pitch = size_t{width} * 4;
  vn::encode::PixelOrder order = vn::encode::PixelOrder::kBgra;
  vn::encode::CapturedFrame frame;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (capturer.capture_frame(frame) == CaptureStatus::kNewFrame && frame.picture.pixels != nullptr &&
        frame.picture.width >= width && frame.picture.height >= height) {
      pitch = frame.picture.row_pitch;
      order = frame.picture.order;
      source.assign(frame.picture.pixels, frame.picture.pixels + pitch * height);
      capturer.release_frame();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<uint8_t> i420(vn::encode::I420Layout::of(width, height).total_size());
  Samples samples;
  constexpr int kWarmUp = 5;
  constexpr int kRuns = 200;
  for (int i = 0; i < kWarmUp + kRuns; ++i) {
    const uint64_t t0 = vn::now_us();
    vn::encode::convert_to_i420(source.data(), pitch, order, width, height, i420.data());
    const uint64_t t1 = vn::now_us();
    if (i >= kWarmUp) samples.add(t1 - t0);
  }
  return samples;
}

// ---------------------------------------------------------------------------
// One configuration.

struct Config {
  uint32_t width = 1280;
  uint32_t height = 720;
  uint32_t fps = 30;
  uint32_t bitrate_bps = 8'000'000;
  uint32_t seconds = 10;
};

void print_stage(const char* name, uint64_t sum_us, uint64_t frames, const Samples& samples) {
  const double mean = frames == 0 ? 0.0 : static_cast<double>(sum_us) / static_cast<double>(frames);
  if (samples.empty()) {
    std::printf("  %-24s %9.3f %9s\n", name, ms(mean), "n/a");
  } else {
    std::printf("  %-24s %9.3f %9.3f\n", name, ms(mean), ms(samples.percentile(0.5)));
  }
}

bool run_config(const Config& config) {
  std::printf("\n== %ux%u @ %u fps, %.1f Mbit/s, %u %% repair, %u s ==\n", config.width, config.height, config.fps,
              config.bitrate_bps / 1e6, kRepairRatio / 100, config.seconds);
  vn::test::XvfbServer xvfb;
  vn::test::XvfbOptions options;
  options.width = config.width;
  options.height = config.height;
  if (!xvfb.start(options)) {
    std::printf("  Xvfb did not start\n");
    return false;
  }
  // Built here rather than with display_name(), whose inlined "+" trips a
  // false -Wrestrict in GCC 12.
  std::string display_name = ":";
  display_name += std::to_string(xvfb.display_number());
  vn::test::ScopedEnv display_env("DISPLAY", display_name.c_str());
  Painter painter(config.width, config.height, config.fps);
  if (!painter.start(display_name)) {
    std::printf("  cannot open the Xvfb display for painting\n");
    return false;
  }

  PendingFrame pending;
  StageSamples stages;
  ProbeClock clock;
  TimedCapturer capturer(DesktopCapturer::Create(), pending);
  if (!capturer.initialize() || !capturer.select_output(0)) {
    std::printf("  the X11 capturer did not start\n");
    return false;
  }
  TimedEncoder encoder(pending, clock);
  vn::encode::EncoderConfig encoder_config;
  encoder_config.width = config.width;
  encoder_config.height = config.height;
  encoder_config.fps = config.fps;
  encoder_config.bitrate_bps = config.bitrate_bps;
  encoder_config.max_bitrate_bps = config.bitrate_bps / 2 * 3;
  if (!encoder.initialize(capturer.device(), encoder_config)) {
    std::printf("  the software encoder did not open\n");
    return false;
  }
  vn::network::Packetizer packetizer;
  packetizer.set_repair_ratio(kRepairRatio);
  std::array<uint8_t, vn::network::Encryption::kKeySize> key{};
  randombytes_buf(key.data(), key.size());
  vn::network::Encryption encryption;
  encryption.set_key(key.data(), key.size());

  LoopbackReceiver receiver(key);
  if (!receiver.open()) {
    std::printf("  the loopback receiver socket could not be opened\n");
    return false;
  }
  IoThreads io;
  vn::network::UdpSender sender(io.io, "127.0.0.1", receiver.port(), 0);
  if (!sender.open()) {
    std::printf("  the UDP sender did not open\n");
    return false;
  }

  vn::SessionFlags flags;
  vn::FrameLoopParts parts;
  parts.capture = &capturer;
  parts.encoder = &encoder;
  parts.packetizer = &packetizer;
  parts.encryption = &encryption;
  parts.flags = &flags;
  parts.launcher_connected = [] { return true; };
  parts.counters = [&sender] {
    vn::MediaCounters counters;
    counters.video_bytes_sent = sender.bytes_sent();
    counters.video_packets_sent = sender.packets_sent();
    counters.video_send_errors = sender.send_errors();
    return counters;
  };
  parts.send = [&](const std::vector<vn::network::Packet>& batch) {
    if (const auto split = clock.take()) {
      stages.packetize.add(split->first);
      stages.seal.add(split->second);
    } else {
      ++stages.unsplit_frames;
    }
    const uint64_t t0 = vn::now_us();
    sender.enqueue(batch);
    stages.enqueue.add(vn::now_us() - t0);
    stages.capture.add(pending.capture_us);
    stages.encode.add(pending.encode_us);
    pending = {};
  };

  vn::FrameLoopSettings settings;
  settings.fps = config.fps;
  settings.session_start_us = vn::now_us();
  std::atomic<bool> running{true};
  const uint64_t start_us = vn::now_us();
  vn::FrameLoopTotals totals;
  {
    StopAfter stopper(running, config.seconds);
    totals = vn::FrameLoop(parts, settings, clock).run(running);
  }
  const double elapsed_s = static_cast<double>(vn::now_us() - start_us) / 1e6;

  // Let the queue drain and the last datagrams arrive before counting.
  for (int i = 0; i < 200 && sender.queued() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver.stop();
  const Samples conversion = measure_conversion(capturer.inner(), config.width, config.height);

  const vn::StageTimes& st = totals.stages;
  const uint64_t frames = st.frames;
  const auto per_frame = [frames](uint64_t sum_us) {
    return frames == 0 ? 0.0 : static_cast<double>(sum_us) / static_cast<double>(frames);
  };
  std::printf("  frames %llu in %.2f s: %.2f fps (target %u); captures new %llu, unchanged %llu; "
              "encoder skips %llu; painter frames %llu\n",
              static_cast<unsigned long long>(frames), elapsed_s, static_cast<double>(frames) / elapsed_s,
              config.fps, static_cast<unsigned long long>(capturer.new_frames),
              static_cast<unsigned long long>(capturer.no_change), static_cast<unsigned long long>(encoder.skipped),
              static_cast<unsigned long long>(painter.frames_painted()));
  std::printf("  stage (per frame)          mean ms    p50 ms\n");
  print_stage("capture", st.capture_us, frames, stages.capture);
  print_stage("encode (incl. convert)", st.encode_us, frames, stages.encode);
  print_stage("packetize + FEC", st.packetize_us, frames, stages.packetize);
  print_stage("seal", st.seal_us, frames, stages.seal);
  print_stage("enqueue", st.enqueue_us, frames, stages.enqueue);
  if (stages.unsplit_frames != 0 || stages.packetize.sum() != st.packetize_us || stages.seal.sum() != st.seal_us) {
    std::printf("  note: per-frame packetize/seal samples differ from the loop's sums (%llu frames unsplit)\n",
                static_cast<unsigned long long>(stages.unsplit_frames));
  }

  const double encode_mean = per_frame(st.encode_us);
  const double convert_mean = conversion.mean();
  std::printf("  colour conversion (convert_to_i420, %s, measured apart): mean %.3f ms, p50 %.3f ms = %.1f %% of "
              "encode\n",
              vn::encode::convert_path_name(vn::encode::best_convert_path()), ms(convert_mean),
              ms(conversion.percentile(0.5)), encode_mean > 0 ? 100.0 * convert_mean / encode_mean : 0.0);
  const double own = per_frame(st.capture_us + st.packetize_us + st.seal_us + st.enqueue_us);
  std::printf("  agent's own work (capture + packetize + seal + enqueue): %.3f ms/frame = %.1f %% of encode time\n",
              ms(own), encode_mean > 0 ? 100.0 * own / encode_mean : 0.0);
  if (encode_mean > convert_mean) {
    std::printf("    with the conversion counted as the agent's: %.3f ms = %.1f %% of the encode proper\n",
                ms(own + convert_mean), 100.0 * (own + convert_mean) / (encode_mean - convert_mean));
  }
  std::printf("  sent %llu datagrams (%.2f Mbit/s, %llu errors); received %llu, %llu frames complete "
              "(%llu rebuilt, %llu given up, %llu rejected); receive buffer %.1f MiB\n",
              static_cast<unsigned long long>(sender.packets_sent()),
              static_cast<double>(sender.bytes_sent()) * 8.0 / elapsed_s / 1e6,
              static_cast<unsigned long long>(sender.send_errors()),
              static_cast<unsigned long long>(receiver.datagrams), static_cast<unsigned long long>(receiver.frames),
              static_cast<unsigned long long>(receiver.rebuilt),
              static_cast<unsigned long long>(receiver.frames_given_up()),
              static_cast<unsigned long long>(receiver.rejected), receiver.buffer_bytes() / 2 / 1048576.0);
  if (receiver.latency.empty()) {
    std::printf("  latency: no frame completed\n");
  } else {
    const double p50 = receiver.latency.percentile(0.5);
    std::printf("  latency capture -> complete: p50 %.3f ms, p99 %.3f ms; p50 - mean encode %.3f ms\n", ms(p50),
                ms(receiver.latency.percentile(0.99)), ms(p50 - encode_mean));
  }
  std::fflush(stdout);
  return frames > 0;
}

// ---------------------------------------------------------------------------

bool parse_uint(const char* text, uint32_t& out) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 100000) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

uint32_t default_bitrate(uint32_t height) { return height <= 720 ? 8'000'000 : 15'000'000; }

int usage() {
  std::fprintf(stderr, "usage: vn_session_bench [--seconds N] [--size WxH --fps F] [--bitrate-kbps K]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t seconds = 10;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  uint32_t bitrate_kbps = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage();
    bool ok = false;
    if (arg == "--seconds") {
      ok = parse_uint(value, seconds);
    } else if (arg == "--fps") {
      ok = parse_uint(value, fps);
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
    configs.push_back({width, height, rate, bitrate_kbps != 0 ? bitrate_kbps * 1000 : default_bitrate(height), seconds});
  } else {
    configs.push_back({1280, 720, 30, bitrate_kbps != 0 ? bitrate_kbps * 1000 : 8'000'000, seconds});
    configs.push_back({1920, 1080, 60, bitrate_kbps != 0 ? bitrate_kbps * 1000 : 15'000'000, seconds});
  }
  bool all_ran = true;
  for (const Config& config : configs) all_ran = run_config(config) && all_ran;
  return all_ran ? 0 : 1;
}
