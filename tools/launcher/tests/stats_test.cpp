#include <gtest/gtest.h>

#include "loss_meter.h"
#include "stream_stats.h"

namespace vn::launcher {
namespace {

constexpr uint64_t kSettle = 100'000;

TEST(LauncherLossMeter, CountsMissingIndicesBelowTheHighestAndFramesNeverSeen) {
  LossMeter meter(kSettle);
  // Frame 1: N = 4, data 2 lost, repairs 4 and 5 arrived: 6 expected, 5 seen; rebuilt.
  for (uint32_t index : {0u, 1u, 3u, 4u, 5u, 5u}) meter.on_packet(1, index, 4, 1000);
  meter.on_complete(1);
  // Frame 2: whole. Frame 3: never seen. Frame 4: one packet of three; not rebuilt.
  meter.on_packet(2, 0, 2, 2000);
  meter.on_packet(2, 1, 2, 2000);
  meter.on_complete(2);
  meter.on_packet(4, 0, 3, 3000);

  EXPECT_EQ(meter.settle(3000 + kSettle - 1), 0u) << "frame 4 has not settled, frames 1 and 2 have";
  EXPECT_EQ(meter.totals().frames_closed, 2u);
  EXPECT_EQ(meter.settle(3000 + kSettle), 2u) << "frame 3 and frame 4";

  const LossMeter::Counts window = meter.take_window();
  EXPECT_EQ(window.expected, 6u + 2u + 1u + 3u);
  EXPECT_EQ(window.received, 5u + 2u + 0u + 1u);
  EXPECT_EQ(window.frames_closed, 3u);
  EXPECT_EQ(window.frames_lost, 2u);
  EXPECT_NEAR(window.loss_pct(), 100.0 * 4 / 12, 1e-9);

  // Late packets of closed frames change nothing; the next window starts empty.
  meter.on_packet(4, 1, 3, 200'000);
  meter.on_packet(2, 1, 2, 200'000);
  EXPECT_EQ(meter.settle(1'000'000), 0u);
  EXPECT_EQ(meter.take_window().expected, 0u);
  EXPECT_EQ(meter.totals().expected, 12u);
}

TEST(LauncherLossMeter, ClosesInIdOrderAndBoundsWhatItTracks) {
  LossMeter meter(kSettle, /*max_open=*/3);
  meter.on_packet(10, 0, 1, 0);
  meter.on_packet(11, 0, 1, 0);
  meter.on_packet(10, 0, 1, 90'000);  // frame 10 still active holds back 11
  EXPECT_EQ(meter.settle(150'000), 0u);
  EXPECT_EQ(meter.totals().frames_closed, 0u);
  EXPECT_EQ(meter.settle(190'000), 2u);  // neither completed
  EXPECT_EQ(meter.totals().frames_closed, 2u);

  // Beyond three open frames the oldest closes at once.
  for (uint32_t id = 20; id < 25; ++id) meter.on_packet(id, 0, 1, 200'000);
  EXPECT_EQ(meter.totals().frames_closed, 4u);
  EXPECT_EQ(meter.totals().frames_lost, 2u + 8u + 2u) << "12..19 never seen, 20 and 21 incomplete";

  // At the end unsettled frames are forgotten, not counted as lost.
  meter.discard_open();
  EXPECT_EQ(meter.settle(10'000'000), 0u);
  EXPECT_EQ(meter.totals().frames_closed, 4u);
}

TEST(LauncherInterarrivalJitter, FollowsTheRunningEstimateOfTransitChanges) {
  InterarrivalJitter jitter;
  // Constant transit (clocks 5 s apart): no jitter.
  for (uint64_t i = 0; i < 5; ++i) jitter.add(i * 10'000, 5'000'000 + i * 10'000);
  EXPECT_DOUBLE_EQ(jitter.jitter_ms(), 0.0);
  // One frame 5 ms late: D = +5 ms, then D = -5 ms for the next on-time frame.
  jitter.add(50'000, 5'055'000);
  EXPECT_DOUBLE_EQ(jitter.jitter_ms(), 5.0 / 16);
  jitter.add(60'000, 5'060'000);
  EXPECT_DOUBLE_EQ(jitter.jitter_ms(), 5.0 / 16 + (5.0 - 5.0 / 16) / 16);
}

TEST(LauncherLatencySamples, NearestRankPercentiles) {
  LatencySamples latency;
  EXPECT_FALSE(latency.percentile_ms(50));
  latency.add(7'500);
  EXPECT_EQ(latency.percentile_ms(50), 7.5);
  EXPECT_EQ(latency.percentile_ms(99), 7.5);

  LatencySamples hundred;
  for (uint64_t ms = 100; ms >= 1; --ms) hundred.add(ms * 1000);  // any order
  EXPECT_EQ(hundred.percentile_ms(50), 50.0);
  EXPECT_EQ(hundred.percentile_ms(99), 99.0);
  EXPECT_EQ(hundred.percentile_ms(100), 100.0);
  EXPECT_EQ(hundred.percentile_ms(0.5), 1.0);
  EXPECT_FALSE(hundred.percentile_ms(0));
}

TEST(LauncherLatencySamples, StaysRepresentativeBeyondItsCapacity) {
  LatencySamples latency(/*capacity=*/1000);
  for (uint64_t us = 0; us < 100'000; ++us) latency.add(us * 10);  // 0 .. 1000 ms
  EXPECT_EQ(latency.count(), 100'000u);
  EXPECT_NEAR(*latency.percentile_ms(50), 500.0, 50.0);
  EXPECT_NEAR(*latency.percentile_ms(99), 990.0, 20.0);
}

}  // namespace
}  // namespace vn::launcher
