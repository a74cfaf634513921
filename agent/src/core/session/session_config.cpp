#include "core/session/session_config.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <stdexcept>

#include "core/base/log_text.h"
#include "core/base/parse_int.h"
#include "core/base/secret_wipe.h"

namespace vn {

SessionConfig::~SessionConfig() {
  wipe(master_key);
}

void parse_resolution(const std::string& text, int32_t& width, int32_t& height) {
  const size_t x = text.find('x');
  if (text.empty() || x == std::string::npos) {
    spdlog::warn("Invalid resolution format '{}', defaulting to 1920x1080", loggable(text));
    width = 1920;
    height = 1080;
    return;
  }
  try {
    const int32_t w = parse_int(text.substr(0, x));
    const int32_t h = parse_int(text.substr(x + 1));
    width = w;
    height = h;
  } catch (const std::exception& e) {
    spdlog::warn("Invalid resolution string '{}', defaulting to 1920x1080: {}", loggable(text), e.what());
    width = 1920;
    height = 1080;
  }
}

void make_session_config(SessionConfig& out, const AgentConfig& agent, const network::PrepareSessionParams* params) {
  out.agent = agent;
  if (params != nullptr) {
    AgentConfig& c = out.agent;
    out.session_id = params->session_id;
    out.master_key = params->encryption_key;
    out.token_sha256 = params->session_token_sha256;
    c.codec = params->codec;
    c.fps = std::clamp<uint32_t>(params->max_fps, 1, 240);
    if (params->bitrate_kbps != 0) c.bitrate = std::clamp<uint32_t>(params->bitrate_kbps, 500, 200000) * 1000;
    c.max_duration_sec = params->max_duration_sec;
    c.hide_desktop = params->hide_desktop;
    c.launch_steam = params->launch_steam;
    c.steam_app_id = params->steam_app_id;
    parse_resolution(params->resolution, c.width, c.height);
    spdlog::info("SaaS prepare_session: session_id={} codec={} res={}x{} fps={} bitrate={}kbps max_dur={}s",
                 loggable(out.session_id), loggable(c.codec), c.width, c.height, c.fps, params->bitrate_kbps, c.max_duration_sec);
  } else {
    out.token_sha256 = agent.session_token_sha256;
  }
  out.agent.fps = std::clamp<uint32_t>(out.agent.fps, 1, 240);
  out.agent.bitrate = std::min<uint32_t>(out.agent.bitrate, 200000000);
}

bool video_size_supported(const AgentConfig& config) {
  const int32_t max_side = config.codec == "hevc" ? kMaxHevcSide : kMaxH264Side;
  const auto side_ok = [max_side](int32_t side) { return side >= kMinVideoSide && side <= max_side && side % 2 == 0; };
  return side_ok(config.width) && side_ok(config.height);
}

encode::EncoderConfig encoder_config_for(const AgentConfig& config) {
  encode::EncoderConfig encoder;
  encoder.width = static_cast<uint32_t>(config.width);
  encoder.height = static_cast<uint32_t>(config.height);
  encoder.fps = config.fps;
  encoder.bitrate_bps = config.bitrate;
  encoder.max_bitrate_bps = config.bitrate + config.bitrate / 2;
  encoder.codec = config.codec;
  encoder.low_latency = true;
  return encoder;
}

}  // namespace vn
