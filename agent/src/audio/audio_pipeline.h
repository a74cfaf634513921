#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/packet.h"

namespace vn {

// The session's sound: loopback capture of what the machine plays, encoded,
// sealed with the audio key and handed to the audio sender, on a capture
// thread of its own.
class AudioPipeline {
 public:
  using PacketSink = std::function<void(const std::vector<network::Packet>&)>;

  // The platform's pipeline, or null when this build has none.
  static std::unique_ptr<AudioPipeline> Create();

  virtual ~AudioPipeline() = default;
  // `encryption` (keyed) and `sink` must outlive stop(). False (logged) when
  // capture or encoding cannot start.
  virtual bool start(network::Encryption& encryption, PacketSink sink) = 0;
  // Joins the capture thread; harmless twice.
  virtual void stop() = 0;
  // Audio packets handed to the sink so far. Any thread.
  virtual uint64_t packets_sent() const = 0;
};

}  // namespace vn
