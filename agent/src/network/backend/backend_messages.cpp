#include "network/backend/backend_messages.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>

#include "core/base/json_fields.h"
#include "core/base/secret_wipe.h"

namespace vn::network {
namespace {

using nlohmann::json;

std::string compact(const json& message) {
  // Invalid UTF-8 in a host fact or an id must not throw: replace it.
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string register_message(const BackendRegistration& registration) {
  return compact(json{
      {"type", "register"},
      {"agent_version", registration.agent_version},
      {"gpu_model", registration.gpu_model},
      {"gpu_vram_mb", registration.gpu_vram_mb},
      {"cpu_model", registration.cpu_model},
      {"ram_mb", registration.ram_mb},
      {"os_version", registration.os_version},
      {"port_base", registration.port_base},
      {"supported_codecs", registration.supported_codecs},
      {"max_resolution", registration.max_resolution},
      {"max_fps", registration.max_fps},
  });
}

std::string heartbeat_message(const BackendLoad& load) {
  return compact(json{
      {"type", "heartbeat"},
      {"status", "online"},
      {"cpu_pct", load.cpu_pct},
      {"gpu_pct", load.gpu_pct},
      {"ram_mb_free", load.ram_mb_free},
  });
}

std::string session_ready_message(const std::string& session_id, const std::string& public_ip, uint16_t video_port,
                                  uint16_t audio_port, uint16_t input_port) {
  return compact(json{
      {"type", "session_ready"},
      {"session_id", session_id},
      {"public_ip", public_ip},
      {"ports", {{"video", video_port}, {"audio", audio_port}, {"input", input_port}}},
  });
}

std::string session_ended_message(const std::string& session_id, const std::string& reason, uint64_t duration_sec) {
  return compact(json{
      {"type", "session_ended"},
      {"session_id", session_id},
      {"reason", reason},
      {"duration_sec", duration_sec},
  });
}

std::string error_message(SessionError code, const std::string& message, const std::string& session_id) {
  json error{{"type", "error"}, {"code", to_text(code)}, {"message", message}};
  if (!session_id.empty()) error["session_id"] = session_id;
  return compact(error);
}

std::string pong_message() { return compact(json{{"type", "pong"}}); }

bool decode_base64_key(std::string_view text, std::vector<uint8_t>& key) {
  key.assign(text.size() / 4 * 3 + 3, 0);
  size_t length = 0;
  const int status = sodium_base642bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, nullptr,
                                       sodium_base64_VARIANT_ORIGINAL);
  if (status != 0) {
    sodium_memzero(key.data(), key.size());
    key.clear();
    return false;
  }
  // Shrinking in place keeps the bytes in the buffer that the vector frees;
  // wipe the tail first.
  sodium_memzero(key.data() + length, key.size() - length);
  key.resize(length);
  return true;
}

PrepareSessionParams parse_prepare_session(const json& message) {
  PrepareSessionParams params;
  params.session_id = json_string(message, "session_id", params.session_id);
  params.client_id = json_string(message, "client_id", params.client_id);
  params.max_duration_sec = json_u32(message, "max_duration_sec", params.max_duration_sec);
  params.session_token_sha256 = json_string(message, "session_token_sha256", params.session_token_sha256);
  std::string key_text;
  const WipeOnExit wipe_key_text(key_text);  // also when a later key throws
  key_text = json_string(message, "encryption_key", "");

  const auto constraints = message.find("constraints");
  if (constraints != message.end() && constraints->is_object()) {
    params.codec = json_string(*constraints, "codec", params.codec);
    params.resolution = json_string(*constraints, "resolution", params.resolution);
    params.max_fps = json_u32(*constraints, "max_fps", params.max_fps);
    params.bitrate_kbps = json_u32(*constraints, "bitrate_kbps", params.bitrate_kbps);
  }
  const auto isolation = message.find("session_isolation");
  if (isolation != message.end() && isolation->is_object()) {
    params.hide_desktop = json_bool(*isolation, "hide_desktop", params.hide_desktop);
    params.launch_steam = json_bool(*isolation, "launch_steam", params.launch_steam);
    params.steam_app_id = json_string(*isolation, "steam_app_id", params.steam_app_id);
  }

  if (params.session_token_sha256.empty()) {
    spdlog::warn(
        "SaasConnector: prepare_session has no session_token_sha256 — TCP auth will fall back to non-empty-token "
        "check (downgrade)");
  }
  if (!key_text.empty()) {
    if (!decode_base64_key(key_text, params.encryption_key)) {
      spdlog::warn("SaasConnector: Failed to decode encryption_key: not standard padded Base64 ({} characters)",
                   key_text.size());
    }
  }
  return params;
}

void wipe_secret_fields(json& message) {
  if (!message.is_object()) return;
  for (const char* key : {"encryption_key", "session_token_sha256"}) {
    const auto it = message.find(key);
    if (it != message.end() && it->is_string()) wipe(it->get_ref<std::string&>());
  }
}

}  // namespace vn::network
