#pragma once

#include <cstdint>

namespace vn {

// The fixed local UDP ports the agent sends video and audio from and receives
// the launcher's hole-punch probes on, whatever the session's port_base is.
inline constexpr uint16_t kVideoLocalPort = 48002;
inline constexpr uint16_t kAudioLocalPort = 48003;

}  // namespace vn
