// One configuration of the frame-loop benchmark: the real FrameLoop with the
// X11 capturer, the OpenH264 software encoder, the packetizer at a 10 % repair
// ratio, ChaCha20-Poly1305 sealing and a UdpSender to a loopback receiver that
// rebuilds the frames. Every time is wall-clock on now_us() (µs), shared by the
// sending and the receiving side of the loopback.
#include "session/session_run_linux.h"

#include <sodium.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/base/clock.h"
#include "core/session/frame_loop.h"
#include "core/session/session_control.h"
#include "encode/i420_convert.h"
#include "network/transport/encryption.h"
#include "network/transport/packetizer.h"
#include "network/transport/udp_sender.h"
#include "session/loopback_receiver_linux.h"
#include "session/samples.h"
#include "session/scene_painter_linux.h"
#include "session/timed_parts.h"
#include "support/io_threads.h"
#include "support/xvfb_linux.h"

namespace vn::bench {
namespace {

constexpr uint32_t kRepairRatio = 1000;  // 0.01 % units: 10 %

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

// The colour conversion on its own, at the encoder's size, from a real capture.
Samples measure_conversion(DesktopCapturer& capturer, uint32_t width, uint32_t height) {
  std::vector<uint8_t> source(size_t{width} * height * 4, 0x80);
  size_t pitch = size_t{width} * 4;
  capture::PixelOrder order = capture::PixelOrder::kBgra;
  capture::CapturedFrame frame;
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
  std::vector<uint8_t> i420(encode::I420Layout::of(width, height).total_size());
  Samples samples;
  constexpr int kWarmUp = 5;
  constexpr int kRuns = 200;
  for (int i = 0; i < kWarmUp + kRuns; ++i) {
    const uint64_t t0 = now_us();
    encode::convert_to_i420(source.data(), pitch, order, width, height, i420.data());
    const uint64_t t1 = now_us();
    if (i >= kWarmUp) samples.add(t1 - t0);
  }
  return samples;
}

void print_stage(const char* name, uint64_t sum_us, uint64_t frames, const Samples& samples) {
  const double mean = frames == 0 ? 0.0 : static_cast<double>(sum_us) / static_cast<double>(frames);
  if (samples.empty()) {
    std::printf("  %-24s %9.3f %9s\n", name, ms(mean), "n/a");
  } else {
    std::printf("  %-24s %9.3f %9.3f\n", name, ms(mean), ms(samples.percentile(0.5)));
  }
}

}  // namespace

bool run_config(const Config& config) {
  const uint32_t content_fps = config.content_fps != 0 ? config.content_fps : config.fps;
  std::printf("\n== %ux%u @ %u fps, %.1f Mbit/s, %u %% repair, %u s, content at %u Hz ==\n", config.width,
              config.height, config.fps, config.bitrate_bps / 1e6, kRepairRatio / 100, config.seconds, content_fps);
  test::XvfbServer xvfb;
  test::XvfbOptions options;
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
  test::ScopedEnv display_env("DISPLAY", display_name.c_str());
  ScenePainter painter(config.width, config.height, content_fps);
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
  encode::EncoderConfig encoder_config;
  encoder_config.width = config.width;
  encoder_config.height = config.height;
  encoder_config.fps = config.fps;
  encoder_config.bitrate_bps = config.bitrate_bps;
  encoder_config.max_bitrate_bps = config.bitrate_bps / 2 * 3;
  if (!encoder.initialize(capturer.device(), encoder_config)) {
    std::printf("  the software encoder did not open\n");
    return false;
  }
  network::Packetizer packetizer;
  packetizer.set_repair_ratio(kRepairRatio);
  std::array<uint8_t, network::Encryption::kKeySize> key{};
  randombytes_buf(key.data(), key.size());
  network::Encryption encryption;
  encryption.set_key(key.data(), key.size());

  LoopbackReceiver receiver(key);
  if (!receiver.open()) {
    std::printf("  the loopback receiver socket could not be opened\n");
    return false;
  }
  test::IoThreads io(2);
  network::UdpSender sender(io.io(), "127.0.0.1", receiver.port(), 0);
  if (!sender.open()) {
    std::printf("  the UDP sender did not open\n");
    return false;
  }

  SessionFlags flags;
  FrameLoopParts parts;
  parts.capture = &capturer;
  parts.encoder = &encoder;
  parts.packetizer = &packetizer;
  parts.encryption = &encryption;
  parts.flags = &flags;
  parts.launcher_connected = [] { return true; };
  parts.counters = [&sender] {
    MediaCounters counters;
    counters.video_bytes_sent = sender.bytes_sent();
    counters.video_packets_sent = sender.packets_sent();
    counters.video_send_errors = sender.send_errors();
    return counters;
  };
  parts.send = [&](const std::vector<network::Packet>& batch) {
    if (const auto split = clock.take()) {
      stages.packetize.add(split->first);
      stages.seal.add(split->second);
    } else {
      ++stages.unsplit_frames;
    }
    const uint64_t t0 = now_us();
    sender.enqueue(batch);
    stages.enqueue.add(now_us() - t0);
    stages.capture.add(pending.capture_us);
    stages.encode.add(pending.encode_us);
    pending = {};
  };

  FrameLoopSettings settings;
  settings.fps = config.fps;
  settings.session_start_us = now_us();
  std::atomic<bool> running{true};
  const uint64_t start_us = now_us();
  FrameLoopTotals totals;
  {
    StopAfter stopper(running, config.seconds);
    totals = FrameLoop(parts, settings, clock).run(running);
  }
  const double elapsed_s = static_cast<double>(now_us() - start_us) / 1e6;

  // Let the queue drain and the last datagrams arrive before counting.
  for (int i = 0; i < 200 && sender.queued() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver.stop();
  const Samples conversion = measure_conversion(capturer.inner(), config.width, config.height);

  const StageTimes& st = totals.stages;
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
  const double sent_mbit = static_cast<double>(sender.bytes_sent()) * 8.0 / elapsed_s / 1e6;
  std::printf("  key frames %llu of %llu; %.2f Mbit/s sent = %.2fx the configured rate\n",
              static_cast<unsigned long long>(encoder.key_frames), static_cast<unsigned long long>(frames), sent_mbit,
              sent_mbit / (config.bitrate_bps / 1e6));
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
              encode::convert_path_name(encode::best_convert_path()), ms(convert_mean),
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

}  // namespace vn::bench
