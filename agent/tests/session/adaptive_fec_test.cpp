#include <gtest/gtest.h>

#include <vector>

#include "core/session/adaptive_fec.h"
#include "support/log_capture.h"

namespace vn {
namespace {

struct Report {
  float loss, rtt, jitter;
};

TEST(AdaptiveFec, LevelsFollowTheRuleTable) {
  struct Case {
    const char* name;
    std::vector<Report> reports;
    uint32_t level;  // after the last report
  };
  const Case cases[] = {
      {"no reports of trouble", {{0, 20, 2}}, 0},
      {"loss 2 % from level 0", {{2.0f, 20, 2}}, 500},
      {"loss just under the first step", {{1.5f, 20, 2}}, 0},
      {"delay without loss adds nothing", {{0, 150, 25}}, 0},
      {"delay with little loss is capped at one step", {{0.5f, 150, 2}}, 500},
      {"moderate delay with little loss", {{0.5f, 100, 2}}, 500},
      {"jitter with some loss takes two delay steps", {{1.2f, 20, 20}}, 1000},
      {"heavy loss climbs a level per report",
       {{10, 20, 2}, {10, 20, 2}, {10, 20, 2}}, 2000},
      {"loss and delay are capped at the top level", {{10, 200, 2}, {10, 200, 2}}, 2000},
  };
  for (const auto& c : cases) {
    AdaptiveFec fec;
    AdaptiveFec::Decision decision;
    for (const auto& r : c.reports) decision = fec.on_stats({r.rtt, r.loss, 60, r.jitter});
    EXPECT_EQ(decision.level, c.level) << c.name;
    EXPECT_EQ(decision.repair_ratio, c.level) << c.name;
    EXPECT_EQ(fec.level(), c.level) << c.name;
  }
}

TEST(AdaptiveFec, HysteresisAtFivePercent) {
  // Reach 500, then let the smoothed loss sink: it leaves 500 only at <= 0.4 % and only without delay.
  AdaptiveFec quiet;
  quiet.on_stats({20, 2.0f, 60, 2});  // 500, loss_s 2.0
  uint32_t level = 500;
  int reports = 0;
  while (level == 500 && reports < 50) {
    level = quiet.on_stats({20, 0.0f, 60, 2}).level;
    ++reports;
    if (level == 500) {
      EXPECT_GT(quiet.smoothed_loss_pct(), 0.4f);
    }
  }
  EXPECT_EQ(level, 0u);
  EXPECT_LE(quiet.smoothed_loss_pct(), 0.4f);

  AdaptiveFec delayed;
  delayed.on_stats({100, 2.0f, 60, 2});  // loss step 1 + delay step 1: 1000
  EXPECT_EQ(delayed.level(), 1000u);
  // While some loss remains, the delay step holds the level up.
  EXPECT_EQ(delayed.on_stats({100, 0.0f, 60, 2}).level, 1000u);
}

// A link that lost packets once, then runs clean with a long round trip and
// jitter, comes back down to no repair; the delay alone never holds a level.
TEST(AdaptiveFec, ACleanLinkWithHighDelayRecovers) {
  AdaptiveFec fec;
  for (int i = 0; i < 3; ++i) fec.on_stats({150, 10.0f, 60, 20});
  ASSERT_EQ(fec.level(), 2000u);
  int reports = 0;
  while (fec.level() != 0 && reports < 200) {
    fec.on_stats({150, 0.0f, 60, 20});
    ++reports;
  }
  EXPECT_EQ(fec.level(), 0u) << "after " << reports << " loss-free reports, smoothed loss "
                             << fec.smoothed_loss_pct();
  EXPECT_LT(reports, 30);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(fec.on_stats({150, 0.0f, 60, 20}).level, 0u);
}

TEST(AdaptiveFec, ChangeLineAndSmoothing) {
  const test::LogCapture log;
  AdaptiveFec fec;
  const auto first = fec.on_stats({20, 2.0f, 60, 2});
  EXPECT_TRUE(first.changed());
  EXPECT_TRUE(log.contains("info: Adaptive FEC: 0% -> 5% (loss=2.00% rtt=20.0ms)")) << log.dump();
  fec.on_stats({60, 4.0f, 60, 6});
  EXPECT_FLOAT_EQ(fec.smoothed_loss_pct(), 0.35f * 4.0f + 0.65f * 2.0f);
  EXPECT_FLOAT_EQ(fec.smoothed_rtt_ms(), 0.75f * 20 + 0.25f * 60);
  EXPECT_FLOAT_EQ(fec.smoothed_jitter_ms(), 0.25f * 6 + 0.75f * 2);
  fec.reset();
  EXPECT_EQ(fec.level(), 0u);
  EXPECT_EQ(fec.on_stats({30, 0, 60, 1}).level, 0u);
  EXPECT_FLOAT_EQ(fec.smoothed_rtt_ms(), 30.0f);  // first report again after reset
}

}  // namespace
}  // namespace vn
