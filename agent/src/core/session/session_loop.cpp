#include "core/session/session_loop.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <optional>

#include "core/base/clock.h"
#include "core/base/log_text.h"
#include "core/base/run_flag.h"
#include "core/session/session_config.h"
#include "core/session/streaming_session.h"

namespace vn {
namespace {

constexpr std::chrono::milliseconds kPrepareWaitSlice{500};
constexpr uint64_t kWaitingLineIntervalUs = 30'000'000;

// A session's reports on their way to the backend. A terminal one (error,
// session_ended) first frees the mailbox, so that a prepare_session the
// backend sends as soon as it reads the report is kept for the next pass.
class SessionReports : public SessionBackend {
 public:
  SessionReports(SessionBackend& backend, PrepareMailbox& mailbox) : backend_(backend), mailbox_(mailbox) {}

  void clear_cached_session_ready() override { backend_.clear_cached_session_ready(); }
  void send_session_ready(const std::string& session_id, const std::string& public_ip, uint16_t video_port,
                          uint16_t audio_port, uint16_t input_port) override {
    backend_.send_session_ready(session_id, public_ip, video_port, audio_port, input_port);
  }
  void send_session_ended(const std::string& session_id, const std::string& reason,
                          uint64_t duration_sec) override {
    mailbox_.finish_session();
    backend_.send_session_ended(session_id, reason, duration_sec);
  }
  void send_error(SessionError code, const std::string& message, const std::string& session_id) override {
    mailbox_.finish_session();
    backend_.send_error(code, message, session_id);
  }

 private:
  SessionBackend& backend_;
  PrepareMailbox& mailbox_;
};

}  // namespace

SessionLoop::SessionLoop(const AgentConfig& config, SessionBackend* backend, PrepareMailbox* mailbox,
                         SessionFlags& flags, SessionLoopOptions options)
    : config_(config), backend_(backend), mailbox_(mailbox), flags_(flags), options_(std::move(options)) {}

bool SessionLoop::accept_request(const SessionConfig& session, SessionBackend* reports) {
  const AgentConfig& agent = session.agent;
  if (!video_size_supported(agent)) {
    spdlog::critical("Unsupported resolution {}x{} for {}: width and height must be even, {} to {}", agent.width,
                     agent.height, loggable(agent.codec), kMinVideoSide,
                     agent.codec == "hevc" ? kMaxHevcSide : kMaxH264Side);
    if (reports != nullptr) {
      reports->send_error(SessionError::kInvalidResolution,
                          "The requested resolution is not supported: width and height must be even, 64 to 4096 "
                          "(8192 for hevc).",
                          session.session_id);
    }
    return false;
  }
  if (!used_keys_.remember(session.master_key)) {
    spdlog::critical("Refusing session {}: its encryption_key was already used by an earlier session",
                     loggable(session.session_id));
    if (reports != nullptr) {
      reports->send_error(SessionError::kKeyReused,
                          "This encryption_key was already used; send a fresh key for every session.",
                          session.session_id);
    }
    return false;
  }
  return true;
}

bool SessionLoop::run() {
  std::optional<SessionReports> reports;
  if (backend_ != nullptr) reports.emplace(*backend_, *mailbox_);
  SessionBackend* const session_backend = reports ? &*reports : nullptr;

  bool first_pass = true;
  bool any_streamed = false;
  while (true) {
    const bool ended_on_request = flags_.end_requested.exchange(false);
    if (first_pass || ended_on_request) rearm_running();  // a stop request still wins
    if (!g_running.load()) break;
    if (backend_ != nullptr) backend_->clear_cached_session_ready();

    std::optional<network::PrepareSessionParams> params;
    if (backend_ == nullptr) {
      if (!first_pass) break;  // standalone: one session
    } else {
      const uint64_t now = now_us();
      if (first_pass) {
        spdlog::info("SaaS connector started - waiting for prepare_session...");
        last_waiting_line_us_ = now;
      } else if (now - last_waiting_line_us_ > kWaitingLineIntervalUs) {
        spdlog::info("Session ended - waiting for next prepare_session...");
        last_waiting_line_us_ = now;
      }
      params = mailbox_->take(kPrepareWaitSlice, g_running);
      if (!params) {
        first_pass = false;
        continue;
      }
    }
    first_pass = false;

    auto session = std::make_unique<SessionConfig>();
    make_session_config(*session, config_, params ? &*params : nullptr);
    params.reset();  // the key lives on in the session configuration only
    if (accept_request(*session, session_backend)) {
      StreamingSession streaming(*session, session_backend, flags_, options_);
      if (streaming.run()) any_streamed = true;
    }
    // A session without an id sends no report: it is over all the same.
    if (mailbox_ != nullptr) mailbox_->finish_session();
  }
  return any_streamed;
}

}  // namespace vn
