#include "core/session/session_loop.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <optional>

#include "core/base/clock.h"
#include "core/base/run_flag.h"
#include "core/session/session_config.h"
#include "core/session/streaming_session.h"

namespace vn {
namespace {

constexpr std::chrono::milliseconds kPrepareWaitSlice{500};
constexpr uint64_t kWaitingLineIntervalUs = 30'000'000;

}  // namespace

SessionLoop::SessionLoop(const AgentConfig& config, SessionBackend* backend, PrepareMailbox* mailbox,
                         SessionFlags& flags, SessionLoopOptions options)
    : config_(config), backend_(backend), mailbox_(mailbox), flags_(flags), options_(std::move(options)) {}

void SessionLoop::run() {
  bool first_pass = true;
  // Whether the request in the mailbox has been taken (or there was none yet):
  // only then is it cleared, so one that arrives between two idle waits is
  // not lost.
  bool request_taken = true;
  while (true) {
    const bool ended_on_request = flags_.end_requested.exchange(false);
    if (first_pass || ended_on_request) g_running.store(true);
    if (!g_running.load()) break;
    if (backend_ != nullptr) backend_->clear_cached_session_ready();

    std::optional<network::PrepareSessionParams> params;
    if (backend_ == nullptr) {
      if (!first_pass) break;  // standalone: one session
    } else {
      if (request_taken) mailbox_->clear();
      const uint64_t now = now_us();
      if (first_pass) {
        spdlog::info("SaaS connector started - waiting for prepare_session...");
        last_waiting_line_us_ = now;
      } else if (now - last_waiting_line_us_ > kWaitingLineIntervalUs) {
        spdlog::info("Session ended - waiting for next prepare_session...");
        last_waiting_line_us_ = now;
      }
      params = mailbox_->wait(kPrepareWaitSlice, g_running);
      if (!params) {
        first_pass = false;
        request_taken = false;
        continue;
      }
      request_taken = true;
    }
    first_pass = false;

    auto session = std::make_unique<SessionConfig>();
    make_session_config(*session, config_, params ? &*params : nullptr);
    params.reset();  // the key lives on in the session configuration only
    StreamingSession streaming(*session, backend_, flags_, options_);
    streaming.run();
  }
}

}  // namespace vn
