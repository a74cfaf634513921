#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/frame_assembler.h"
#include "session/samples.h"

namespace vn::bench {

// The receiving end on loopback: its own thread and a FrameAssembler with the
// video key, recording each frame's capture-to-complete latency.
class LoopbackReceiver {
 public:
  explicit LoopbackReceiver(std::span<const uint8_t, network::Encryption::kKeySize> key) : assembler_(key) {}
  ~LoopbackReceiver();
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

  // Binds 127.0.0.1 on an ephemeral port with a 4 MiB receive buffer and
  // starts reading. False when the socket cannot be made.
  bool open();

  // Joins the thread; the figures below are final afterwards.
  void stop();

  uint16_t port() const { return port_; }
  // SO_RCVBUF as the kernel reports it: twice the size asked for (the kernel's bookkeeping share).
  int buffer_bytes() const { return buffer_bytes_; }
  uint64_t frames_given_up() const { return assembler_.frames_given_up(); }

  Samples latency;  // capture to complete, per frame
  uint64_t datagrams = 0;
  uint64_t rejected = 0;
  uint64_t frames = 0;
  uint64_t rebuilt = 0;

 private:
  void run();

  network::FrameAssembler assembler_;
  int fd_ = -1;
  uint16_t port_ = 0;
  int buffer_bytes_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace vn::bench
