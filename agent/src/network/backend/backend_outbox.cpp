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

size_t BackendOutbox::discard_queued() {
  const std::lock_guard lock(queue_mutex_);
  const size_t count = queue_.size();
  queue_.clear();
  return count;
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
