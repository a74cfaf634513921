#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "capture/desktop_capturer.h"
#include "core/base/agent_config.h"
#include "core/session/encoder_chain.h"
#include "core/session/session_config.h"
#include "core/session/session_control.h"
#include "network/backend/session_backend.h"
#include "network/control/tcp_control_server.h"

namespace vn {

// What the session loop builds its sessions from. The defaults are the
// product's; tests swap in fakes and shorter waits.
struct SessionLoopOptions {
  std::function<std::unique_ptr<capture::DesktopCapturer>()> make_capturer = &capture::DesktopCapturer::Create;
  std::vector<EncoderCandidate> encoders = default_encoder_chain();
  network::TcpControlTimeouts tcp_timeouts;
  int video_probe_wait_s = 15;
  int audio_probe_wait_s = 3;
  uint32_t failure_pause_ms = 500;  // after a set-up failure reported to the backend
};

// The agent's session loop on the main thread. Without a backend it runs one
// session from the command line; with one it takes prepare_session requests
// from `mailbox` (posted by the connector) and runs a session for each until
// the agent stops (g_running false without end_requested, or a stop request).
class SessionLoop {
 public:
  // `backend` and `mailbox` are both null (standalone) or both set; all
  // outlive the loop.
  SessionLoop(const AgentConfig& config, SessionBackend* backend, PrepareMailbox* mailbox, SessionFlags& flags,
              SessionLoopOptions options = {});

  // Returns when the agent is to stop: true when at least one session
  // reached streaming.
  bool run();

 private:
  // Whether the session may be built; logs and reports a refusal.
  bool accept_request(const SessionConfig& session, SessionBackend* reports);

  AgentConfig config_;
  SessionBackend* backend_;
  PrepareMailbox* mailbox_;
  SessionFlags& flags_;
  SessionLoopOptions options_;
  UsedMasterKeys used_keys_;
  uint64_t last_waiting_line_us_ = 0;
};

}  // namespace vn
