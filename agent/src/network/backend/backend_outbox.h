#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vn::network {

// The connector's outbound side: the queue that the connection loop drains,
// the session_ready kept for re-sending after a reconnect, and the terminal
// messages (session_ended, error with a session id) kept by key so that the
// backend learns how a session ended even across a disconnect. Any thread;
// each part under a lock of its own.
class BackendOutbox {
 public:
  static constexpr size_t kMaxTerminalMessages = 8;

  void queue(std::string message);
  // The whole queue, in order, leaving it empty.
  std::vector<std::string> take_queued();
  // Empties the queue; returns how many messages it held.
  size_t discard_queued();

  void set_ready(std::string message);
  void clear_ready();
  std::optional<std::string> ready() const;

  // Stores `message` under `key`; a new key in a full map first evicts the
  // smallest key, an existing key is overwritten.
  void put_terminal(const std::string& key, std::string message);
  // (key, message) in key order.
  std::vector<std::pair<std::string, std::string>> terminal_messages() const;

 private:
  mutable std::mutex queue_mutex_;
  std::vector<std::string> queue_;
  mutable std::mutex ready_mutex_;
  std::string ready_;
  mutable std::mutex terminal_mutex_;
  std::map<std::string, std::string> terminal_;
};

}  // namespace vn::network
