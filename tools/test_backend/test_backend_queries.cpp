// TestBackend's waits and snapshots of what the server recorded, and clear().
// Any thread; all of it reads the state shared under the mutex, and the waits
// sleep on its condition variable (no timers).
#include "test_backend.h"

#include <string>
#include <vector>

#include "test_backend_impl.h"

namespace vn::tools {

bool TestBackend::wait_connections(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->connection_count >= count; });
}

bool TestBackend::wait_disconnected(std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return !impl_->connected; });
}

std::optional<ReceivedMessage> TestBackend::wait_message(const std::function<bool(const ReceivedMessage&)>& match,
                                                         std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  std::optional<ReceivedMessage> found;
  impl_->changed.wait_for(lock, timeout, [&] {
    for (const auto& m : impl_->messages) {
      if (match(m)) {
        found = m;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<ReceivedMessage> TestBackend::wait_type(const std::string& type, std::chrono::milliseconds timeout,
                                                      int nth) {
  std::unique_lock lock(impl_->mutex);
  std::optional<ReceivedMessage> found;
  impl_->changed.wait_for(lock, timeout, [&] {
    int seen = 0;
    for (const auto& m : impl_->messages) {
      if (m.type == type && ++seen >= nth) {
        found = m;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool TestBackend::connected() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connected;
}

int TestBackend::connection_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connection_count;
}

std::vector<UpgradeRequest> TestBackend::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<ReceivedMessage> TestBackend::messages() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->messages;
}

std::vector<ReceivedMessage> TestBackend::messages_of(const std::string& type) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<ReceivedMessage> out;
  for (const auto& m : impl_->messages)
    if (m.type == type) out.push_back(m);
  return out;
}

std::vector<std::string> TestBackend::pongs() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pongs;
}

void TestBackend::clear() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
  impl_->messages.clear();
  impl_->pongs.clear();
  impl_->connection_count = 0;
  ++impl_->generation;
}

}  // namespace vn::tools
