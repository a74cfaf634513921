#include "network/backend/backend_outbox.h"

namespace vn::network {

void BackendOutbox::queue(std::string message) {
  const std::lock_guard lock(queue_mutex_);
  queue_.push_back(std::move(message));
}

std::vector<std::string> BackendOutbox::take_queued() {
  std::vector<std::string> taken;
  const std::lock_guard lock(queue_mutex_);
  taken.swap(queue_);
  return taken;
}

BackendOutbox::ConnectionStart BackendOutbox::begin_connection(std::string register_text) {
  ConnectionStart start;
  // The one place that holds more than one of the locks; std::scoped_lock
  // takes them without a lock-order deadlock.
  const std::scoped_lock lock(queue_mutex_, ready_mutex_, terminal_mutex_);
  start.discarded = queue_.size();
  queue_.clear();
  queue_.push_back(std::move(register_text));
  if (!ready_.empty()) {
    queue_.push_back(ready_);
    start.ready_resent = true;
  }
  for (const auto& [key, message] : terminal_) {
    queue_.push_back(message);
    start.terminal_keys.push_back(key);
  }
  return start;
}

void BackendOutbox::set_ready(std::string message) {
  const std::lock_guard lock(ready_mutex_);
  ready_ = std::move(message);
}

void BackendOutbox::clear_ready() {
  const std::lock_guard lock(ready_mutex_);
  ready_.clear();
}

std::optional<std::string> BackendOutbox::ready() const {
  const std::lock_guard lock(ready_mutex_);
  if (ready_.empty()) return std::nullopt;
  return ready_;
}

void BackendOutbox::put_terminal(const std::string& key, std::string message) {
  const std::lock_guard lock(terminal_mutex_);
  if (terminal_.size() >= kMaxTerminalMessages && terminal_.find(key) == terminal_.end()) {
    terminal_.erase(terminal_.begin());
  }
  terminal_[key] = std::move(message);
}

std::vector<std::pair<std::string, std::string>> BackendOutbox::terminal_messages() const {
  const std::lock_guard lock(terminal_mutex_);
  return {terminal_.begin(), terminal_.end()};
}

}  // namespace vn::network
