// The reference launcher's side of the TCP control connection: the agent's
// handshake reply (session_ready with its three Base64 keys) and the lines
// that follow it.
#include <string_view>

#include "control_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  (void)vn::launcher::parse_handshake_reply(line);
  (void)vn::launcher::parse_agent_line(line);
  return 0;
}
