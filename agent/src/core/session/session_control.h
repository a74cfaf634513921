#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "network/backend/prepare_session_params.h"

namespace vn {

// Flags between the session loop, the frame loop and the callbacks that end a
// session or ask for a key frame. Any thread; atomic exchanges and loads.
struct SessionFlags {
  std::atomic<bool> end_requested{false};  // the session was ended on request; the agent goes on
  std::atomic<bool> idr_requested{false};  // the next frame must be a key frame
};

// Hands backend prepare_session requests from the connector's thread to the
// session loop: the latest request wins.
class PrepareMailbox {
 public:
  // Connector thread: stores a copy of `params` and wakes the waiting loop.
  void post(const network::PrepareSessionParams& params);

  // Session loop: forgets a request that arrived before this pass.
  void clear();

  // Session loop: waits up to `timeout` while no request is there and
  // `running` is true; returns the request, which stays posted until clear().
  std::optional<network::PrepareSessionParams> wait(std::chrono::milliseconds timeout,
                                                    const std::atomic<bool>& running);

 private:
  std::mutex mutex_;
  std::condition_variable ready_cv_;
  bool prepare_ready_ = false;
  network::PrepareSessionParams pending_;
};

// The backend's terminate_session: logs it and ends the running session (the
// loop re-arms g_running for the next one). Connector thread; takes no lock.
void terminate_session(SessionFlags& flags, const std::string& session_id, const std::string& reason);

}  // namespace vn
