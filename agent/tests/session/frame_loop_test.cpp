#include "core/session/frame_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/fake_capturer.h"
#include "support/fake_clock.h"
#include "support/fake_encoder.h"
#include "support/log_capture.h"

namespace vn {
namespace {

using capture::CaptureStatus;

constexpr uint64_t kInterval60 = 16'666;

// A frame loop over fakes and a fake clock. run() stops it after a number of
// capture calls (one per iteration that gets that far).
struct LoopRig {
  test::FakeClock clock;
  test::FakeCapturer capturer;
  test::FakeEncoder encoder;
  network::Packetizer packetizer;
  network::Encryption encryption;
  SessionFlags flags;
  std::atomic<bool> running{true};
  std::atomic<bool> connected{true};
  std::vector<size_t> batches;  // packets per queued batch
  uint32_t bitrate_request = 0;
  uint32_t max_duration_sec = 0;

  explicit LoopRig(std::vector<CaptureStatus> script = {CaptureStatus::kNewFrame}, uint64_t capture_cost_us = 0,
                   uint64_t encode_cost_us = 0)
      : capturer(std::move(script), &clock, capture_cost_us), encoder(&clock, encode_cost_us) {
    const std::vector<uint8_t> key(32, 7);
    encryption.set_key(key.data(), key.size());
  }

  FrameLoopTotals run(uint32_t fps, int captures) {
    capturer.on_capture = [this, captures] {
      if (capturer.captures + 1 >= captures) running = false;
    };
    FrameLoopParts parts;
    parts.capture = &capturer;
    parts.encoder = &encoder;
    parts.packetizer = &packetizer;
    parts.encryption = &encryption;
    parts.flags = &flags;
    parts.send = [this](const std::vector<network::Packet>& batch) { batches.push_back(batch.size()); };
    parts.launcher_connected = [this] { return connected.load(); };
    parts.take_bitrate_request = [this] { return std::exchange(bitrate_request, 0u); };
    FrameLoopSettings settings;
    settings.fps = fps;
    settings.max_duration_sec = max_duration_sec;
    settings.session_start_us = clock.now_us();
    FrameLoop loop(parts, settings, clock);
    return loop.run(running);
  }
};

TEST(FrameLoop, PacesFramesOneIntervalApart) {
  struct Case {
    uint32_t fps;
    uint64_t interval_us;
  };
  for (const Case c : {Case{1, 1'000'000}, Case{30, 33'333}, Case{60, kInterval60}, Case{240, 4166}, Case{0, kInterval60}}) {
    LoopRig rig;
    const FrameLoopTotals totals = rig.run(c.fps, 6);
    ASSERT_EQ(rig.encoder.encoded.size(), 6u) << c.fps;
    for (size_t i = 1; i < rig.encoder.encoded.size(); ++i) {
      EXPECT_EQ(rig.encoder.encoded[i].at_us - rig.encoder.encoded[i - 1].at_us, c.interval_us) << "fps " << c.fps;
    }
    EXPECT_EQ(totals.frames_total, 6u);
    EXPECT_EQ(totals.queued_total, 6u);  // one packet per 100-byte frame, no repair at ratio 0
    EXPECT_EQ(rig.batches, std::vector<size_t>(6, 1));
    EXPECT_EQ(rig.capturer.releases, 6);
    // Sleeps wake 1 ms before the slot and the rest is spun.
    for (uint64_t slept : rig.clock.sleeps()) EXPECT_LE(slept, c.interval_us - 1000) << c.fps;
  }
}

TEST(FrameLoop, RunningLateRestartsTheScheduleInsteadOfBursting) {
  // Encoding takes 2.5 intervals: each frame starts right after the previous
  // one, never several back to back to catch up.
  LoopRig rig({CaptureStatus::kNewFrame}, 0, kInterval60 * 5 / 2);
  rig.run(60, 8);
  ASSERT_EQ(rig.encoder.encoded.size(), 8u);
  for (size_t i = 1; i < rig.encoder.encoded.size(); ++i) {
    const uint64_t gap = rig.encoder.encoded[i].at_us - rig.encoder.encoded[i - 1].at_us;
    EXPECT_GE(gap, kInterval60 * 5 / 2);
    EXPECT_LT(gap, kInterval60 * 3);
  }
}

TEST(FrameLoop, StaleFramesAreReleasedAndSkipped) {
  // Capture itself takes more than three intervals: every frame is already
  // more than two intervals past the next slot.
  LoopRig rig({CaptureStatus::kNewFrame}, 3 * kInterval60 + 1000);
  const FrameLoopTotals totals = rig.run(60, 5);
  EXPECT_EQ(rig.capturer.captures, 5);
  EXPECT_TRUE(rig.encoder.encoded.empty());
  EXPECT_EQ(totals.frames_total, 0u);
  EXPECT_EQ(rig.capturer.releases, 5);
}

TEST(FrameLoop, StillScreenRepeatsWithKeyFramesEveryTwoSeconds) {
  // One new frame, then nothing changes for 250 slots at 60 fps.
  LoopRig rig({CaptureStatus::kNewFrame, CaptureStatus::kNoChange});
  const FrameLoopTotals totals = rig.run(60, 251);
  ASSERT_EQ(rig.encoder.encoded.size(), 251u);
  EXPECT_EQ(rig.capturer.repeats, 250);
  EXPECT_EQ(rig.capturer.releases, 1);  // repeats are not the capture's to release
  std::vector<size_t> key_repeats;
  for (size_t i = 1; i < rig.encoder.encoded.size(); ++i) {
    if (rig.encoder.encoded[i].key_frame) key_repeats.push_back(i);
  }
  // Still for 100 ms (6 slots at 60 fps), then every two seconds.
  EXPECT_EQ(key_repeats, (std::vector<size_t>{6, 120, 240}));
  EXPECT_EQ(totals.frames_total, 251u);
}

// Content that changes more slowly than the session's frame rate (a 30 fps
// video in a 60 fps session) repeats one frame at a time: that is not a still
// screen, and a key frame on every repeat would multiply the bitrate.
TEST(FrameLoop, ContentSlowerThanTheFrameRateGetsNoKeyFrames) {
  struct Case {
    uint32_t fps;
    int still_slots;  // no-change captures between two new frames
    int key_frames;   // after the first frame, over 240 captures
  };
  const Case cases[] = {
      {60, 1, 0},  // 30 Hz content at 60 fps
      {60, 2, 0},  // 20 Hz content
      {60, 5, 0},  // 10 Hz content: 83 ms still, not yet settled
      {30, 1, 0},
      {30, 2, 0},  // 10 Hz content at 30 fps: 67 ms still
      {60, 6, 34},  // settles in every gap: 240 / 7 gaps of six
      {10, 2, 80},  // at 10 fps two still frames are 200 ms
  };
  for (const Case& c : cases) {
    std::vector<CaptureStatus> script;
    while (script.size() < 260) {
      script.push_back(CaptureStatus::kNewFrame);
      for (int i = 0; i < c.still_slots; ++i) script.push_back(CaptureStatus::kNoChange);
    }
    LoopRig rig(script);
    rig.run(c.fps, 241);
    int keys = 0;
    for (size_t i = 1; i < rig.encoder.encoded.size(); ++i) keys += rig.encoder.encoded[i].key_frame ? 1 : 0;
    EXPECT_EQ(keys, c.key_frames) << c.fps << " fps, " << c.still_slots << " still";
  }
}

TEST(FrameLoop, NoRepeatBeforeTheFirstFrame) {
  test::LogCapture logs;
  LoopRig rig({CaptureStatus::kNoChange});
  rig.run(60, 100);
  EXPECT_EQ(rig.capturer.repeats, 0);
  EXPECT_TRUE(rig.encoder.encoded.empty());
  EXPECT_TRUE(rig.batches.empty());
  EXPECT_TRUE(logs.contains("warning: DXGI: 50 consecutive NoChange"));
  EXPECT_TRUE(logs.contains("warning: DXGI: 100 consecutive NoChange"));
}

TEST(FrameLoop, CaptureTroubleSkipsAndPauses) {
  struct Case {
    CaptureStatus status;
    uint64_t pause_us;
  };
  for (const Case c : {Case{CaptureStatus::kRecreated, 200'000}, Case{CaptureStatus::kFailed, 500'000}}) {
    LoopRig rig({c.status, CaptureStatus::kNewFrame});
    rig.run(60, 2);
    EXPECT_EQ(rig.encoder.encoded.size(), 1u);
    EXPECT_NE(std::find(rig.clock.sleeps().begin(), rig.clock.sleeps().end(), c.pause_us), rig.clock.sleeps().end())
        << static_cast<int>(c.status);
  }
}

TEST(FrameLoop, WithoutAKeyFramesAreDroppedWithARateLimitedLine) {
  test::LogCapture logs;
  LoopRig rig;
  rig.encryption.clear_key();
  const FrameLoopTotals totals = rig.run(60, 241);
  EXPECT_EQ(totals.no_key_drops, 241u);
  EXPECT_TRUE(rig.batches.empty());
  std::vector<std::string> numbers;
  const std::string prefix = "error: Video encryption key not set - dropping frame (total ";
  for (const std::string& line : logs.lines()) {
    if (line.rfind(prefix, 0) == 0) numbers.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "3", "4", "5", "120", "240"}));
}

TEST(FrameLoop, EndsTheSessionWhenItMust) {
  {
    test::LogCapture logs;
    LoopRig rig;
    rig.connected = false;
    rig.run(60, 10);
    EXPECT_TRUE(rig.flags.end_requested);
    EXPECT_EQ(rig.capturer.captures, 0);
    EXPECT_TRUE(logs.contains("info: Launcher disconnected — ending session"));
  }
  {
    test::LogCapture logs;
    LoopRig rig;
    rig.max_duration_sec = 1;  // 60 frames at 60 fps
    rig.run(60, 1000);
    EXPECT_TRUE(rig.flags.end_requested);
    // The check comes before pacing, so the slots that start before 1 s all run.
    EXPECT_GE(rig.encoder.encoded.size(), 60u);
    EXPECT_LE(rig.encoder.encoded.size(), 62u);
    EXPECT_LT(rig.encoder.encoded.back().at_us - rig.encoder.encoded.front().at_us, 1'000'000u + kInterval60);
    EXPECT_TRUE(logs.contains("info: Session reached max_duration_sec=1 - ending"));
  }
  {
    LoopRig rig;  // no limit: only the stop flag ends it, end_requested stays clear
    rig.run(60, 200);
    EXPECT_EQ(rig.encoder.encoded.size(), 200u);
    EXPECT_FALSE(rig.flags.end_requested);
  }
}

TEST(FrameLoop, ExceptionsEndTheSession) {
  struct Case {
    std::function<void()> thrower;
    const char* line;
  };
  const Case cases[] = {
      {[] { throw std::runtime_error("boom"); }, "error: Session pipeline exception: boom - cleaning up"},
      {[] { throw 42; }, "error: Session pipeline threw unknown exception - cleaning up"},
  };
  for (const Case& c : cases) {
    test::LogCapture logs;
    LoopRig rig;
    rig.encoder.on_encode = c.thrower;
    rig.run(60, 10);
    EXPECT_TRUE(rig.flags.end_requested);
    EXPECT_TRUE(logs.contains(c.line)) << logs.dump();
  }
}

TEST(FrameLoop, AppliesKeyFrameAndBitrateRequestsBeforeTheNextFrame) {
  LoopRig rig;
  rig.flags.idr_requested = true;
  rig.bitrate_request = 500'000;
  rig.run(60, 3);
  ASSERT_EQ(rig.encoder.encoded.size(), 3u);
  EXPECT_TRUE(rig.encoder.encoded[0].key_frame);
  EXPECT_FALSE(rig.encoder.encoded[1].key_frame);
  EXPECT_EQ(rig.encoder.bitrates, std::vector<uint32_t>{500'000});
  EXPECT_FALSE(rig.flags.idr_requested);
}

TEST(FrameLoop, LogsStatisticsEveryFiveSeconds) {
  test::LogCapture logs;
  LoopRig rig;
  rig.run(10, 51);  // 5 s at 10 fps
  int stats_lines = 0;
  for (const std::string& line : logs.lines()) {
    if (line.rfind("info: Stats: ", 0) == 0) {
      ++stats_lines;
      EXPECT_NE(line.find(" fps, 0 skipped, "), std::string::npos) << line;
      EXPECT_NE(line.find("pkts_queued=51,"), std::string::npos) << line;
      EXPECT_NE(line.find("input=0 applied, audio_sent=0"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(stats_lines, 1) << logs.dump();
}

}  // namespace
}  // namespace vn
