#include "core/session/adaptive_fec.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>

namespace vn {
namespace {

// The loss step, with hysteresis around the level in force.
int loss_step(uint32_t level, float loss) {
  switch (level) {
    case 0: return loss >= 1.6f ? 1 : 0;
    case 500: return loss >= 3.6f ? 2 : (loss <= 0.4f ? 0 : 1);
    case 1000: return loss >= 7.6f ? 3 : (loss <= 2.4f ? 1 : 2);
    default: return loss > 6.4f ? 3 : 2;
  }
}

// Below this smoothed loss the link counts as loss-free. The smoothing only
// approaches zero, so "no loss" needs a floor: one packet in 2000.
constexpr float kLossFreeBelowPct = 0.05f;

// Delay and jitter raise the level only while packets are being lost: repair
// packets help a late or jittery link only when something is missing, and on a
// clean link with a long round trip the level must come back down.
int delay_step(float rtt, float jitter, float loss) {
  if (loss < kLossFreeBelowPct) return 0;
  int step = 0;
  if (rtt >= 140.0f || jitter >= 18.0f) {
    step = 2;
  } else if (rtt >= 90.0f || jitter >= 10.0f) {
    step = 1;
  }
  // Delay alone, on a clean and steady link, never asks for more than one step.
  if (loss < 1.0f && jitter < 10.0f) step = std::min(step, 1);
  return step;
}

}  // namespace

AdaptiveFec::Decision AdaptiveFec::on_stats(const ClientStats& stats) {
  spdlog::debug("Client stats: RTT={:.1f}ms, loss={:.1f}%, fps={:.0f}", stats.rtt_ms, stats.packet_loss_pct,
                stats.decoded_fps);
  if (!stats_seen_) {
    loss_s_ = stats.packet_loss_pct;
    rtt_s_ = stats.rtt_ms;
    jitter_s_ = stats.jitter_ms;
    stats_seen_ = true;
  } else {
    loss_s_ = 0.35f * stats.packet_loss_pct + 0.65f * loss_s_;
    rtt_s_ = 0.75f * rtt_s_ + 0.25f * stats.rtt_ms;
    jitter_s_ = 0.25f * stats.jitter_ms + 0.75f * jitter_s_;
  }

  const int step = std::min(loss_step(level_, loss_s_) + delay_step(rtt_s_, jitter_s_, loss_s_), 3);
  static constexpr float kFractions[] = {0.0f, 0.05f, 0.10f, 0.20f};
  const float fraction = kFractions[step];

  Decision decision;
  decision.previous_level = level_;
  decision.repair_ratio = static_cast<uint32_t>(std::lround(std::clamp(fraction, 0.0f, 0.5f) * 10000.0f));
  decision.level = static_cast<uint32_t>(std::lround(fraction * 10000.0f));
  level_ = decision.level;
  if (decision.changed()) {
    spdlog::info("Adaptive FEC: {:.0f}% -> {:.0f}% (loss={:.2f}% rtt={:.1f}ms)", decision.previous_level / 100.0f,
                 decision.level / 100.0f, loss_s_, rtt_s_);
  }
  return decision;
}

}  // namespace vn
