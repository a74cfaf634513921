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
// each part under a lock of its own, and begin_connection() under all three.
class BackendOutbox {
 public:
  static constexpr size_t kMaxTerminalMessages = 8;

  // What begin_connection() did, for the log.
  struct ConnectionStart {
    size_t discarded = 0;                    // stale messages dropped from the queue
    bool ready_resent = false;               // the cached session_ready follows register
    std::vector<std::string> terminal_keys;  // the cached terminal messages that follow, in order
  };
  // The first batch of a connection, under one hold of every lock so that
  // nothing another thread queues meanwhile can come before `register_text`:
  // empties the queue (messages queued while down are stale), then queues
  // `register_text`, the cached session_ready and the cached terminal
  // messages in key order. What other threads queue afterwards follows them.
  ConnectionStart begin_connection(std::string register_text);

  void queue(std::string message);
  // The whole queue, in order, leaving it empty.
  std::vector<std::string> take_queued();

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
