#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace asio {
class io_context;
}

namespace vn {

// Receives the launcher's sealed input datagrams on a UDP port and injects
// them into the desktop. Its receives run on the session's I/O threads.
class InputReceiver {
 public:
  // The platform's receiver on `io`, or null when this build has none.
  static std::unique_ptr<InputReceiver> Create(asio::io_context& io);

  virtual ~InputReceiver() = default;
  // `key`: the session's 32-byte input key. False (logged) on failure.
  virtual bool start(std::span<const uint8_t> key, uint16_t port) = 0;
  // Harmless twice.
  virtual void stop() = 0;
  // Events injected so far. Any thread.
  virtual uint64_t events_applied() const = 0;
};

}  // namespace vn
