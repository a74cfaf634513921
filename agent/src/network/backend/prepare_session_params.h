#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vn::network {

// A backend prepare_session request: the session to build next. The defaults
// are those of a request that leaves the key out.
struct PrepareSessionParams {
  PrepareSessionParams() = default;
  PrepareSessionParams(const PrepareSessionParams&) = default;
  PrepareSessionParams(PrepareSessionParams&&) = default;
  PrepareSessionParams& operator=(const PrepareSessionParams&) = default;
  PrepareSessionParams& operator=(PrepareSessionParams&&) = default;
  ~PrepareSessionParams();  // wipes the key and the token hash

  std::string session_id;
  std::string client_id;
  uint32_t max_duration_sec = 3600;
  std::string session_token_sha256;  // hex SHA-256 of the launcher's token; may be empty
  std::vector<uint8_t> encryption_key;  // master key for the session keys; may be empty
  std::string codec = "h264";
  std::string resolution = "1920x1080";
  uint32_t max_fps = 60;
  uint32_t bitrate_kbps = 15000;  // 0 keeps the agent's configured bitrate
  bool hide_desktop = false;
  bool launch_steam = false;
  std::string steam_app_id;
};

}  // namespace vn::network
