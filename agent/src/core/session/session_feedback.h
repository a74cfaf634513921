#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/session/adaptive_fec.h"
#include "core/session/session_control.h"
#include "network/control/control_messages.h"
#include "network/transport/packetizer.h"

namespace vn {

// The session's reactions to the launcher's control messages: settings
// changes, key-frame and end requests, and the statistics that drive the FEC
// ratio. The callbacks run on the session's I/O threads (one at a time, the
// control channel's strand); the frame loop collects their effects on its own
// thread, so the encoder is only ever touched by the frame loop.
class SessionFeedback {
 public:
  SessionFeedback(SessionFlags& flags, network::Packetizer& packetizer) : flags_(flags), packetizer_(packetizer) {}

  // Back to the state of a new session: no statistics seen, level 0, repair
  // ratio 0, no key frame or bitrate change pending.
  void reset();

  void on_settings(const network::SettingsChange& change);
  void on_command(const std::string& type);
  void on_stats(const ClientStats& stats);

  // Callbacks bound to this object, for the control server. It must outlive them.
  network::ControlCallbacks callbacks();

  // Frame loop: the bitrate (bit/s) the launcher asked for since the last
  // call, or 0.
  uint32_t take_bitrate_request() { return pending_bitrate_bps_.exchange(0); }

  uint32_t fec_level() const { return fec_.level(); }

 private:
  SessionFlags& flags_;
  network::Packetizer& packetizer_;
  AdaptiveFec fec_;
  std::atomic<uint32_t> pending_bitrate_bps_{0};
  // A launcher may send set_settings at any rate: its lines are rate-limited.
  std::atomic<uint64_t> bitrate_lines_{0};
  std::atomic<uint64_t> fps_lines_{0};
};

}  // namespace vn
