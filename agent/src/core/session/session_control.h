#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "network/backend/prepare_session_params.h"
#include "network/backend/session_backend.h"

namespace vn {

// Flags between the session loop, the frame loop and the callbacks that end a
// session or ask for a key frame. Any thread; atomic exchanges and loads.
struct SessionFlags {
  std::atomic<bool> end_requested{false};  // the session was ended on request; the agent goes on
  std::atomic<bool> idr_requested{false};  // the next frame must be a key frame
};

// Hands backend prepare_session requests from the connector's thread to the
// session loop, each exactly once. The agent runs one session at a time: a
// request is "busy" from take() until finish_session(), and a request that
// arrives meanwhile is refused (the caller answers it). Between sessions the
// latest request wins; the one it displaces is named so that it can be
// answered too. Any thread; one lock.
class PrepareMailbox {
 public:
  enum class Posted : uint8_t {
    kQueued,    // kept for the next take()
    kReplaced,  // kept; an earlier request not yet taken was dropped
    kBusy,      // refused: a session runs
  };
  struct PostOutcome {
    Posted posted = Posted::kQueued;
    std::string other_session_id;  // the dropped request (kReplaced) or the running one (kBusy)
  };

  // Connector thread: keeps `params` (or refuses it) and wakes the loop.
  PostOutcome post(network::PrepareSessionParams params);

  // Session loop: waits up to `timeout` while no request is kept and `running`
  // is true. A request returned is no longer kept (its key leaves with it)
  // and makes the mailbox busy.
  std::optional<network::PrepareSessionParams> take(std::chrono::milliseconds timeout,
                                                    const std::atomic<bool>& running);

  // Session loop: the taken request's session is over and its end reported;
  // the next request is kept again. Harmless when not busy.
  void finish_session();

  enum class TerminateTarget : uint8_t {
    kRunning,  // the running session (an empty id names it too)
    kPending,  // a kept request not yet started; it was dropped
    kNone,     // neither: ignored
  };
  // Connector thread: what a terminate_session for `session_id` names.
  TerminateTarget claim_terminate(const std::string& session_id);

 private:
  std::mutex mutex_;
  std::condition_variable ready_cv_;
  std::optional<network::PrepareSessionParams> pending_;  // wipes its key when reset
  bool busy_ = false;
  std::string running_session_id_;
};

// The backend's prepare_session, on the connector thread: posts it, and
// answers a refused or displaced request with an error so the backend never
// waits for a session that will not come.
void hand_over_prepare(PrepareMailbox& mailbox, SessionBackend& backend, network::PrepareSessionParams params);

// The backend's terminate_session, on the connector thread: ends the running
// session when `session_id` is empty or names it (the loop re-arms g_running
// for the next one), drops a kept request it names, and otherwise only logs.
void terminate_session(SessionFlags& flags, PrepareMailbox& mailbox, const std::string& session_id,
                       const std::string& reason);

// Master keys this process has run sessions with, as keyed hashes (the keys
// themselves are never kept). A key seen twice would repeat nonces under the
// same session keys, since frame numbers start again every session. Grows by
// 32 bytes per session. Session loop only.
class UsedMasterKeys {
 public:
  UsedMasterKeys();
  ~UsedMasterKeys();
  UsedMasterKeys(const UsedMasterKeys&) = delete;
  UsedMasterKeys& operator=(const UsedMasterKeys&) = delete;

  // False when `key` was remembered before; an empty key is always new.
  bool remember(const std::vector<uint8_t>& key);

 private:
  std::array<uint8_t, 32> hash_key_{};  // random per process
  std::set<std::array<uint8_t, 32>> seen_;
};

}  // namespace vn
