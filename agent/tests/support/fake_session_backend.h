#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "network/backend/session_backend.h"

namespace vn::test {

// Records what the session loop reports to the backend. Reports come from the
// session thread; the test reads them from its own.
class FakeSessionBackend final : public SessionBackend {
 public:
  struct Message {
    std::string type;  // "session_ready", "session_ended" or "error"
    std::string code_or_reason;
    std::string session_id;
  };

  void clear_cached_session_ready() override { ++cache_clears; }
  void send_session_ready(const std::string& session_id, const std::string&, uint16_t, uint16_t, uint16_t) override {
    record({"session_ready", "", session_id});
  }
  void send_session_ended(const std::string& session_id, const std::string& reason, uint64_t) override {
    record({"session_ended", reason, session_id});
  }
  void send_error(SessionError code, const std::string&, const std::string& session_id) override {
    record({"error", to_text(code), session_id});
  }

  std::vector<Message> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
  }

  // Called on the reporting thread after each report is recorded: a backend
  // that answers at once. Set before the session loop starts.
  std::function<void(const Message&)> on_report;
  std::atomic<int> cache_clears{0};

 private:
  void record(const Message& message) {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
    }
    if (on_report) on_report(message);
  }

  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace vn::test
