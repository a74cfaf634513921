#include "core/session/session_control.h"

#include <spdlog/spdlog.h>

#include "core/base/run_flag.h"

namespace vn {

void PrepareMailbox::post(const network::PrepareSessionParams& params) {
  {
    std::lock_guard lock(mutex_);
    pending_ = params;
    prepare_ready_ = true;
  }
  ready_cv_.notify_one();
}

void PrepareMailbox::clear() {
  std::lock_guard lock(mutex_);
  prepare_ready_ = false;
}

std::optional<network::PrepareSessionParams> PrepareMailbox::wait(std::chrono::milliseconds timeout,
                                                                  const std::atomic<bool>& running) {
  std::unique_lock lock(mutex_);
  ready_cv_.wait_for(lock, timeout, [&] { return prepare_ready_ || !running.load(); });
  if (!prepare_ready_) return std::nullopt;
  return pending_;
}

void terminate_session(SessionFlags& flags, const std::string& session_id, const std::string& reason) {
  spdlog::info("SaaS terminated session {} ({})", session_id, reason);
  flags.end_requested.exchange(true);
  g_running.exchange(false);
}

}  // namespace vn
