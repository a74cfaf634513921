#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "network/backend/session_backend.h"

namespace vn::test {

// Records what the session loop reports to the backend. Thread-safe enough
// for one session thread.
class FakeSessionBackend final : public SessionBackend {
 public:
  struct Message {
    std::string type;  // "session_ready", "session_ended" or "error"
    std::string code_or_reason;
    std::string session_id;
  };

  void clear_cached_session_ready() override { ++cache_clears; }
  void send_session_ready(const std::string& session_id, const std::string&, uint16_t, uint16_t, uint16_t) override {
    messages.push_back({"session_ready", "", session_id});
  }
  void send_session_ended(const std::string& session_id, const std::string& reason, uint64_t) override {
    messages.push_back({"session_ended", reason, session_id});
  }
  void send_error(SessionError code, const std::string&, const std::string& session_id) override {
    messages.push_back({"error", to_text(code), session_id});
  }

  std::vector<Message> messages;
  std::atomic<int> cache_clears{0};
};

}  // namespace vn::test
