#include "core/session/session_feedback.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "core/base/log_limit.h"
#include "core/base/run_flag.h"

namespace vn {

void SessionFeedback::reset() {
  fec_.reset();
  packetizer_.set_repair_ratio(0);
  pending_bitrate_bps_.store(0);
  flags_.idr_requested.store(false);
  bitrate_lines_.store(0);
  fps_lines_.store(0);
}

void SessionFeedback::on_settings(const network::SettingsChange& change) {
  if (change.bitrate_kbps > 0) {
    if (log_occurrence(bitrate_lines_)) spdlog::info("Client requested bitrate change: {} kbps", change.bitrate_kbps);
    const uint32_t kbps = static_cast<uint32_t>(std::clamp(change.bitrate_kbps, 500, 200000));
    // Applied by the frame loop before its next encode, with a key frame.
    pending_bitrate_bps_.store(kbps * 1000);
    flags_.idr_requested.exchange(true);
  }
  if (change.fps > 0) {
    if (log_occurrence(fps_lines_)) spdlog::info("Client requested FPS change: {} (noted, requires re-init)", change.fps);
  }
}

void SessionFeedback::on_command(const std::string& type) {
  if (type == "request_idr") {
    flags_.idr_requested.exchange(true);
  } else if (type == "end_session") {
    spdlog::info("Client requested end_session");
    flags_.end_requested.exchange(true);
    g_running.exchange(false);
  }
}

void SessionFeedback::on_stats(const ClientStats& stats) {
  const AdaptiveFec::Decision decision = fec_.on_stats(stats);
  packetizer_.set_repair_ratio(decision.repair_ratio);
}

network::ControlCallbacks SessionFeedback::callbacks() {
  network::ControlCallbacks callbacks;
  callbacks.stats = [this](const ClientStats& stats) { on_stats(stats); };
  callbacks.command = [this](const std::string& type) { on_command(type); };
  callbacks.settings = [this](const network::SettingsChange& change) { on_settings(change); };
  return callbacks;
}

}  // namespace vn
