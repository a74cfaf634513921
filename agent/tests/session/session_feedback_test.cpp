#include "core/session/session_feedback.h"

#include <gtest/gtest.h>

#include "core/base/run_flag.h"
#include "core/session/session_config.h"
#include "support/log_capture.h"

namespace vn {
namespace {

struct FeedbackRig {
  SessionFlags flags;
  network::Packetizer packetizer;
  SessionFeedback feedback{flags, packetizer};
  ~FeedbackRig() { g_running = true; }
};

TEST(SessionFeedback, SettingsChangesAskTheFrameLoopForANewBitrate) {
  struct Case {
    int32_t kbps;
    int32_t fps;
    uint32_t bitrate_bps;  // 0: no change
    const char* line;
  };
  const Case cases[] = {
      {100, 0, 500'000, "info: Client requested bitrate change: 100 kbps"},
      {8000, 0, 8'000'000, "info: Client requested bitrate change: 8000 kbps"},
      {900000, 0, 200'000'000, "info: Client requested bitrate change: 900000 kbps"},
      {0, 0, 0, nullptr},
      {-5, 0, 0, nullptr},
      {0, 120, 0, "info: Client requested FPS change: 120 (noted, requires re-init)"},
  };
  for (const Case& c : cases) {
    test::LogCapture logs;
    FeedbackRig rig;
    rig.feedback.on_settings({c.kbps, c.fps, 0, 0});
    EXPECT_EQ(rig.feedback.take_bitrate_request(), c.bitrate_bps) << c.kbps;
    EXPECT_EQ(rig.feedback.take_bitrate_request(), 0u);
    EXPECT_EQ(rig.flags.idr_requested.load(), c.bitrate_bps != 0) << c.kbps;
    if (c.line != nullptr) {
      EXPECT_TRUE(logs.contains(c.line)) << logs.dump();
    } else {
      EXPECT_TRUE(logs.lines().empty()) << logs.dump();
    }
  }
}

// A launcher may send set_settings at any rate; the log shows the first few
// and then every 120th, and a new session starts counting again.
TEST(SessionFeedback, SettingsLinesAreRateLimited) {
  test::LogCapture logs;
  FeedbackRig rig;
  for (int i = 0; i < 240; ++i) rig.feedback.on_settings({8000, 30, 0, 0});
  EXPECT_EQ(logs.lines().size(), 2u * (5 + 2)) << logs.dump();
  EXPECT_EQ(rig.feedback.take_bitrate_request(), 8'000'000u);
  rig.feedback.reset();
  rig.feedback.on_settings({9000, 0, 0, 0});
  EXPECT_TRUE(logs.contains("info: Client requested bitrate change: 9000 kbps"));
}

TEST(SessionFeedback, CommandsByType) {
  {
    FeedbackRig rig;
    rig.feedback.on_command("request_idr");
    EXPECT_TRUE(rig.flags.idr_requested);
    EXPECT_FALSE(rig.flags.end_requested);
    EXPECT_TRUE(g_running);
  }
  {
    test::LogCapture logs;
    FeedbackRig rig;
    rig.feedback.on_command("end_session");
    EXPECT_TRUE(rig.flags.end_requested);
    EXPECT_FALSE(g_running);
    EXPECT_TRUE(logs.contains("info: Client requested end_session"));
  }
  for (const char* other : {"END_SESSION", "Request_IDR", "launch", ""}) {
    test::LogCapture logs;
    FeedbackRig rig;
    rig.feedback.on_command(other);
    EXPECT_FALSE(rig.flags.idr_requested) << other;
    EXPECT_FALSE(rig.flags.end_requested) << other;
    EXPECT_TRUE(g_running) << other;
    EXPECT_TRUE(logs.lines().empty()) << other;
  }
}

TEST(SessionFeedback, StatisticsSetTheRepairRatioAndResetClearsIt) {
  test::LogCapture logs;
  FeedbackRig rig;
  rig.feedback.on_stats({20, 2.0f, 60, 2});
  EXPECT_EQ(rig.packetizer.repair_ratio(), 500u);
  EXPECT_TRUE(logs.contains("info: Adaptive FEC: 0% -> 5% (loss=2.00% rtt=20.0ms)")) << logs.dump();
  rig.flags.idr_requested = true;
  rig.feedback.on_settings({1000, 0, 0, 0});
  rig.feedback.reset();
  EXPECT_EQ(rig.packetizer.repair_ratio(), 0u);
  EXPECT_EQ(rig.feedback.fec_level(), 0u);
  EXPECT_EQ(rig.feedback.take_bitrate_request(), 0u);
  EXPECT_FALSE(rig.flags.idr_requested);
}

TEST(SessionConfig, PrepareSessionOverridesTheCommandLine) {
  struct Case {
    const char* resolution;
    uint32_t max_fps;
    uint32_t bitrate_kbps;
    int32_t width, height;
    uint32_t fps, bitrate;
    const char* warning;  // may be null
  };
  const Case cases[] = {
      {"1280x720", 60, 15000, 1280, 720, 60, 15'000'000, nullptr},
      {"1280", 60, 15000, 1920, 1080, 60, 15'000'000, "warning: Invalid resolution format '1280', defaulting to 1920x1080"},
      {"", 60, 15000, 1920, 1080, 60, 15'000'000, "warning: Invalid resolution format '', defaulting to 1920x1080"},
      {"axb", 60, 15000, 1920, 1080, 60, 15'000'000, "warning: Invalid resolution string 'axb', defaulting to 1920x1080: invalid stoi argument"},
      {"2560x1440", 0, 100, 2560, 1440, 1, 500'000, nullptr},
      {"2560x1440", 500, 0, 2560, 1440, 240, 12'345'000, nullptr},
      {"2560x1440", 60, 999999, 2560, 1440, 60, 200'000'000, nullptr},
  };
  AgentConfig agent;
  agent.bitrate = 12'345'000;
  for (const Case& c : cases) {
    test::LogCapture logs;
    network::PrepareSessionParams params;
    params.session_id = "s-1";
    params.resolution = c.resolution;
    params.max_fps = c.max_fps;
    params.bitrate_kbps = c.bitrate_kbps;
    params.encryption_key.assign(32, 1);
    SessionConfig config;
    make_session_config(config, agent, &params);
    EXPECT_EQ(config.agent.width, c.width) << c.resolution;
    EXPECT_EQ(config.agent.height, c.height) << c.resolution;
    EXPECT_EQ(config.agent.fps, c.fps) << c.max_fps;
    EXPECT_EQ(config.agent.bitrate, c.bitrate) << c.bitrate_kbps;
    EXPECT_EQ(config.agent.max_duration_sec, 3600u);
    EXPECT_EQ(config.session_id, "s-1");
    EXPECT_EQ(config.master_key.size(), 32u);
    if (c.warning != nullptr) {
      EXPECT_TRUE(logs.contains(c.warning)) << logs.dump();
    }
    EXPECT_TRUE(logs.contains("info: SaaS prepare_session: session_id=s-1 codec=h264 res=")) << logs.dump();
  }
}

TEST(SessionConfig, StandaloneKeepsTheCommandLineWithinLimits) {
  AgentConfig agent;
  agent.fps = 1000;
  agent.bitrate = 400'000'000;
  agent.width = 1280;
  agent.session_token_sha256 = "ab";
  SessionConfig config;
  make_session_config(config, agent, nullptr);
  EXPECT_EQ(config.agent.fps, 240u);
  EXPECT_EQ(config.agent.bitrate, 200'000'000u);
  EXPECT_EQ(config.agent.width, 1280);
  EXPECT_EQ(config.agent.max_duration_sec, 0u);
  EXPECT_TRUE(config.session_id.empty());
  EXPECT_EQ(config.token_sha256, "ab");

  const encode::EncoderConfig encoder = encoder_config_for(config.agent);
  EXPECT_EQ(encoder.bitrate_bps, 200'000'000u);
  EXPECT_EQ(encoder.max_bitrate_bps, 300'000'000u);
  EXPECT_TRUE(encoder.low_latency);
}

}  // namespace
}  // namespace vn
