#include "core/session/session_control.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <utility>

#include "core/base/log_text.h"
#include "core/base/run_flag.h"

namespace vn {

PrepareMailbox::PostOutcome PrepareMailbox::post(network::PrepareSessionParams params) {
  PostOutcome outcome;
  {
    std::lock_guard lock(mutex_);
    if (busy_) {
      outcome.posted = Posted::kBusy;
      outcome.other_session_id = running_session_id_;
      return outcome;  // `params` wipes its key on the way out
    }
    if (pending_) {
      outcome.posted = Posted::kReplaced;
      outcome.other_session_id = pending_->session_id;
      pending_.reset();
    }
    pending_.emplace(std::move(params));
  }
  ready_cv_.notify_one();
  return outcome;
}

std::optional<network::PrepareSessionParams> PrepareMailbox::take(std::chrono::milliseconds timeout,
                                                                  const std::atomic<bool>& running) {
  std::unique_lock lock(mutex_);
  ready_cv_.wait_for(lock, timeout, [&] { return pending_.has_value() || !running.load(); });
  if (!pending_) return std::nullopt;
  std::optional<network::PrepareSessionParams> taken(std::move(*pending_));
  pending_.reset();
  busy_ = true;
  running_session_id_ = taken->session_id;
  return taken;
}

void PrepareMailbox::finish_session() {
  std::lock_guard lock(mutex_);
  busy_ = false;
  running_session_id_.clear();
}

PrepareMailbox::TerminateTarget PrepareMailbox::claim_terminate(const std::string& session_id) {
  std::lock_guard lock(mutex_);
  if (busy_ && (session_id.empty() || session_id == running_session_id_)) return TerminateTarget::kRunning;
  if (pending_ && !session_id.empty() && pending_->session_id == session_id) {
    pending_.reset();
    return TerminateTarget::kPending;
  }
  return TerminateTarget::kNone;
}

void hand_over_prepare(PrepareMailbox& mailbox, SessionBackend& backend, network::PrepareSessionParams params) {
  const std::string session_id = params.session_id;
  const PrepareMailbox::PostOutcome outcome = mailbox.post(std::move(params));
  switch (outcome.posted) {
    case PrepareMailbox::Posted::kQueued:
      break;
    case PrepareMailbox::Posted::kBusy:
      spdlog::warn("SaaS prepare_session {} refused: session {} is still running", loggable(session_id),
                   loggable(outcome.other_session_id));
      backend.send_error(SessionError::kAgentBusy,
                         "A session is already running; send prepare_session after its session_ended or error.",
                         session_id);
      break;
    case PrepareMailbox::Posted::kReplaced:
      spdlog::warn("SaaS prepare_session {} replaced by {} before it started", loggable(outcome.other_session_id),
                   loggable(session_id));
      backend.send_error(SessionError::kSuperseded, "A newer prepare_session replaced this one before it started.",
                         outcome.other_session_id);
      break;
  }
}

void terminate_session(SessionFlags& flags, PrepareMailbox& mailbox, const std::string& session_id,
                       const std::string& reason) {
  switch (mailbox.claim_terminate(session_id)) {
    case PrepareMailbox::TerminateTarget::kRunning:
      spdlog::info("SaaS terminated session {} ({})", loggable(session_id), loggable(reason));
      flags.end_requested.exchange(true);
      g_running.exchange(false);
      break;
    case PrepareMailbox::TerminateTarget::kPending:
      spdlog::info("SaaS terminated session {} before it started ({})", loggable(session_id), loggable(reason));
      break;
    case PrepareMailbox::TerminateTarget::kNone:
      spdlog::info("SaaS terminate_session for {} ignored: not the running session", loggable(session_id));
      break;
  }
}

UsedMasterKeys::UsedMasterKeys() { randombytes_buf(hash_key_.data(), hash_key_.size()); }

UsedMasterKeys::~UsedMasterKeys() { sodium_memzero(hash_key_.data(), hash_key_.size()); }

bool UsedMasterKeys::remember(const std::vector<uint8_t>& key) {
  if (key.empty()) return true;
  std::array<uint8_t, 32> hash{};
  crypto_generichash(hash.data(), hash.size(), key.data(), key.size(), hash_key_.data(), hash_key_.size());
  return seen_.insert(hash).second;
}

}  // namespace vn
