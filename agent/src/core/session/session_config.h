#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/agent_config.h"
#include "encode/encoder_types.h"
#include "network/backend/prepare_session_params.h"

namespace vn {

// One session's configuration: the agent's command-line configuration, then
// what the backend's prepare_session asked for.
struct SessionConfig {
  AgentConfig agent;
  std::string session_id;  // empty in standalone mode
  std::vector<uint8_t> master_key;
  std::string token_sha256;

  ~SessionConfig();  // wipes the key
};

// The session configuration of a pass: `agent`, overridden by `params` when
// the backend sent them. Logs the values taken from the request and warns
// about an unusable resolution. Frame rate and bitrate end up in 1..240 fps
// and at most 200 Mbit/s either way.
void make_session_config(SessionConfig& out, const AgentConfig& agent, const network::PrepareSessionParams* params);

// Width and height from "WxH"; 1920x1080 (with a warning) when it is not that.
void parse_resolution(const std::string& text, int32_t& width, int32_t& height);

// The picture sizes every encoder of the chain accepts: even widths and
// heights from 64 up to 4096 (8192 for "hevc").
inline constexpr int32_t kMinVideoSide = 64;
inline constexpr int32_t kMaxH264Side = 4096;
inline constexpr int32_t kMaxHevcSide = 8192;

// True when `config`'s width and height are such a size for its codec.
bool video_size_supported(const AgentConfig& config);

// What every encoder of the chain is opened with.
encode::EncoderConfig encoder_config_for(const AgentConfig& config);

}  // namespace vn
