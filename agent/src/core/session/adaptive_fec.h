#pragma once

#include <cstdint>

#include "network/control/control_messages.h"

namespace vn {

// The repair-ratio rule driven by the launcher's statistics: smoothed loss,
// round-trip time and jitter pick one of four FEC levels (0, 5, 10, 20 %),
// with hysteresis on loss. One per session; reports arrive one at a time
// (the control channel's strand), so there is no lock.
class AdaptiveFec {
 public:
  // Levels and ratios are in units of 0.01 % (500 = 5 %), as the packetizer's.
  struct Decision {
    uint32_t repair_ratio = 0;  // for the packetizer
    uint32_t previous_level = 0;
    uint32_t level = 0;
    bool changed() const { return level != previous_level; }
  };

  // Back to "no report yet", level 0.
  void reset() { *this = AdaptiveFec{}; }

  // Folds one report into the smoothed values and decides the level. Logs the
  // report at debug level and a change of level at info level.
  Decision on_stats(const ClientStats& stats);

  uint32_t level() const { return level_; }
  float smoothed_loss_pct() const { return loss_s_; }
  float smoothed_rtt_ms() const { return rtt_s_; }
  float smoothed_jitter_ms() const { return jitter_s_; }

 private:
  bool stats_seen_ = false;
  float loss_s_ = 0;
  float rtt_s_ = 0;
  float jitter_s_ = 0;
  uint32_t level_ = 0;
};

}  // namespace vn
