#pragma once

#include <cstdint>
#include <string>

#include "core/base/session_error.h"

namespace vn {

// What the session loop tells the service backend about its sessions. The
// backend connector implements it; without a backend the loop has none.
// Calls come from the session (main) thread and only queue messages: they
// never block on the network.
class SessionBackend {
 public:
  virtual ~SessionBackend() = default;

  // Forgets the session_ready kept for re-sending after a reconnect.
  virtual void clear_cached_session_ready() = 0;
  virtual void send_session_ready(const std::string& session_id, const std::string& public_ip,
                                  uint16_t video_port, uint16_t audio_port, uint16_t input_port) = 0;
  virtual void send_session_ended(const std::string& session_id, const std::string& reason,
                                  uint64_t duration_sec) = 0;
  // `session_id` may be empty.
  virtual void send_error(SessionError code, const std::string& message, const std::string& session_id) = 0;
};

}  // namespace vn
