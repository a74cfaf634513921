#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/base/media_ports.h"
#include "network/transport/packet.h"

namespace asio {
class io_context;
}

namespace vn::network {

// Sends one media stream (video or audio) to the launcher over UDP from a
// bound local port. The destination starts as the TCP-derived endpoint and
// becomes the source of the first valid hole-punch probe ("VNP1" + 8 token
// bytes) received on the local port.
//
// Threads: enqueue() from one producer thread at a time; wait_for_probe() from
// any thread; the counters from anywhere. Socket work and completions run on
// the I/O context's threads through the sender's strand. The I/O context must
// outlive the sender; completions still queued after destruction keep the
// internal state alive, never the sender.
class UdpSender {
 public:
  static constexpr size_t MAX_QUEUE = 750;
  static constexpr uint64_t MAX_IN_FLIGHT = 8;
  static constexpr size_t kProbeTokenSize = 8;

  // `host` is an IPv4 or IPv6 literal; `local_port` 0 leaves the socket
  // unbound (then no probe can arrive).
  UdpSender(asio::io_context& io, std::string host, uint16_t port, uint16_t local_port);
  ~UdpSender();  // close()
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Parses the host, opens and binds the socket, sets its options. False
  // (logged) on any failure.
  bool open();
  // Keeps the first 8 bytes as the probe token; shorter or null: magic-only
  // validation. Call before start_probe_listening().
  void set_probe_token(const uint8_t* data, size_t size);
  // Starts receiving probes on the strand until a valid one arrives or close().
  void start_probe_listening();
  // True once a valid probe has arrived. Blocks up to `timeout_s` seconds
  // (<= 0: no deadline) or until `abort` (may be empty) returns true; `abort`
  // is called from this thread about every 100 ms.
  bool wait_for_probe(int timeout_s, const std::function<bool()>& abort);
  // Queues the datagrams (header + payload) of a whole batch, after dropping
  // the oldest queued datagrams beyond MAX_QUEUE, and starts the send chain.
  void enqueue(const std::vector<Packet>& batch);
  // Stops I/O and closes the socket exactly once, drops queued datagrams and
  // wakes probe waiters. Harmless twice; may block up to 2 s for the strand.
  void close();

  uint64_t bytes_sent() const;
  uint64_t packets_sent() const;
  uint64_t send_errors() const;
  // Datagrams queued and not yet handed to a send.
  size_t queued() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vn::network
