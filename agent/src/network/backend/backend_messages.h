#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/session_error.h"
#include "network/backend/prepare_session_params.h"

// The JSON messages of the backend connection, one compact object per
// WebSocket text message. Building and reading only; no I/O.
namespace vn::network {

// What the agent registers with after every connect.
struct BackendRegistration {
  std::string agent_version = "1.0.0";
  std::string gpu_model;
  uint32_t gpu_vram_mb = 0;
  std::string cpu_model;
  uint32_t ram_mb = 0;
  std::string os_version;
  uint16_t port_base = 47998;
  std::vector<std::string> supported_codecs = {"h264", "hevc"};
  std::string max_resolution = "1920x1080";
  uint32_t max_fps = 60;
};

// The heartbeat's load figures.
struct BackendLoad {
  uint32_t cpu_pct = 0;
  uint32_t gpu_pct = 0;
  uint64_t ram_mb_free = 0;
};

std::string register_message(const BackendRegistration& registration);
std::string heartbeat_message(const BackendLoad& load);
std::string session_ready_message(const std::string& session_id, const std::string& public_ip, uint16_t video_port,
                                  uint16_t audio_port, uint16_t input_port);
std::string session_ended_message(const std::string& session_id, const std::string& reason, uint64_t duration_sec);
// `session_id` is left out when empty.
std::string error_message(SessionError code, const std::string& message, const std::string& session_id);
std::string pong_message();

// Reads a prepare_session object key by key: absent keys take their defaults,
// a key of the wrong JSON type (or a number out of range) throws.
// `constraints` and `session_isolation` are read only when they are objects.
// An encryption_key that is not valid Base64 is logged and left empty.
PrepareSessionParams parse_prepare_session(const nlohmann::json& message);

// Standard Base64 with padding, nothing ignored. False when `text` is not that.
bool decode_base64_key(std::string_view text, std::vector<uint8_t>& key);

// Wipes (and empties) the string values of the secret keys of a backend
// message, encryption_key and session_token_sha256, before the message is
// freed. Anything else is left as it is.
void wipe_secret_fields(nlohmann::json& message);

}  // namespace vn::network
