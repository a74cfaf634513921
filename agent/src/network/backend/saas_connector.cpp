#include "network/backend/saas_connector.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "core/base/crash_handler.h"
#include "core/base/json_fields.h"

namespace vn::network {
namespace {

using nlohmann::json;

constexpr size_t kRawQuoteChars = 200;
constexpr size_t kInvalidJsonQuoteChars = 80;

}  // namespace

SaasConnector::SaasConnector(asio::io_context& io, SaasConnectorConfig config, SaasConnectorTimings timings)
    : io_(io), config_(std::move(config)), timings_(timings) {
  if (timings_.time_scale == 0) timings_.time_scale = 1;
}

SaasConnector::~SaasConnector() { stop(); }

void SaasConnector::set_prepare_callback(PrepareCallback callback) { on_prepare_ = std::move(callback); }

void SaasConnector::set_terminate_callback(TerminateCallback callback) { on_terminate_ = std::move(callback); }

void SaasConnector::start() {
  if (thread_.joinable()) return;
  if (config_.tls_requested) {
    spdlog::warn(
        "SaasConnector: port {} asks for TLS, but the agent speaks plain ws:// only; put a TLS-terminating proxy in "
        "front of the backend connection",
        config_.port);
  }
  running_ = true;
  thread_ = std::thread([this] { thread_body(); });
}

void SaasConnector::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

uint64_t SaasConnector::now_ms() const {
  const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count()) *
         timings_.time_scale;
}

void SaasConnector::sleep_ms(uint32_t ms) const {
  std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000 / timings_.time_scale));
}

void SaasConnector::thread_body() {
  const ThreadCrashStack crash_stack;
  uint32_t delay_ms = timings_.initial_retry_ms;
  while (running_) {
    spdlog::info("SaasConnector: connecting to {}:{}", config_.host, config_.port);
    const bool came_up = run_connection();
    if (!running_) break;

    const uint32_t wait_ms = came_up ? timings_.initial_retry_ms : delay_ms;
    spdlog::warn("SaasConnector: disconnected, retry in {}ms", wait_ms);
    for (uint32_t waited = 0; waited < wait_ms && running_; waited += timings_.retry_step_ms) {
      sleep_ms(std::min(timings_.retry_step_ms, wait_ms - waited));
    }
    delay_ms = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{wait_ms} * 2, timings_.max_retry_ms));
  }
  spdlog::info("SaasConnector: stopped");
}

bool SaasConnector::run_connection() {
  BackendWebSocket socket(io_, config_.host, config_.port, config_.agent_token, [this] { return !running_; },
                          timings_.limits);
  if (!socket.connect_tcp() || !socket.websocket_handshake()) return false;

  connected_ = true;
  spdlog::info("SaasConnector: WebSocket connected");
  if (const size_t stale = outbox_.discard_queued(); stale > 0) {
    spdlog::warn("SaasConnector: discarding {} stale queued messages on reconnect", stale);
  }
  queue_register();
  if (auto ready = outbox_.ready()) {
    spdlog::info("SaasConnector: re-sending cached session_ready after reconnect");
    outbox_.queue(std::move(*ready));
  }
  for (auto& [key, message] : outbox_.terminal_messages()) {
    spdlog::info("SaasConnector: re-sending cached terminal message after reconnect (key={})", key);
    outbox_.queue(std::move(message));
  }

  try {
    pump(socket);
  } catch (const std::exception& e) {
    spdlog::warn("SaasConnector: connection error: {}", e.what());
  }
  connected_ = false;
  socket.close();
  return true;
}

void SaasConnector::pump(BackendWebSocket& socket) {
  const auto idle_wait = std::chrono::milliseconds(std::max<uint32_t>(1, timings_.idle_wait_ms / timings_.time_scale));
  uint64_t last_heartbeat_ms = now_ms();
  while (running_) {
    for (const std::string& message : outbox_.take_queued()) socket.send_text(message);

    if (now_ms() - last_heartbeat_ms >= timings_.heartbeat_interval_ms) {
      queue_heartbeat();
      last_heartbeat_ms = now_ms();
    }

    // Waiting for readability rather than sleeping also notices at once
    // when the backend closes the connection: the next read reports it.
    if (socket.readable_bytes() > 0 || socket.wait_readable(idle_wait)) {
      if (auto message = socket.read_frame()) handle_message(*message);
    }
  }
}

void SaasConnector::queue_register() {
  outbox_.queue(register_message(config_.registration));
  spdlog::info("SaasConnector: sent register (gpu={} vram={}MB port_base={})", config_.registration.gpu_model,
               config_.registration.gpu_vram_mb, config_.registration.port_base);
}

void SaasConnector::queue_heartbeat() {
  spdlog::debug("SaasConnector: queueing heartbeat");
  outbox_.queue(heartbeat_message(config_.sample_load ? config_.sample_load() : BackendLoad{}));
}

void SaasConnector::handle_message(const std::string& text) {
  const json message = json::parse(text, nullptr, false);
  if (message.is_discarded()) {
    spdlog::warn("SaasConnector: invalid JSON: {:.{}}", text, kInvalidJsonQuoteChars);
    return;
  }
  if (!message.is_object()) {
    spdlog::warn("SaasConnector: message is not a JSON object: {:.{}}", text, kInvalidJsonQuoteChars);
    return;
  }
  std::string type;
  try {
    type = json_string(message, "type", "");
    if (type == "ping") {
      spdlog::debug("SaasConnector: received app ping, queueing pong");
      outbox_.queue(pong_message());
    } else if (type == "prepare_session") {
      handle_prepare_session(message);
    } else if (type == "terminate_session") {
      const std::string session_id = json_string(message, "session_id", "");
      const std::string reason = json_string(message, "reason", "saas_terminated");
      if (on_terminate_) on_terminate_(session_id, reason);
    } else {
      spdlog::debug("SaasConnector: unhandled message type '{}'", type);
    }
  } catch (const std::exception& e) {
    // A malformed message is dropped; the connection stays up.
    spdlog::warn("SaasConnector: dropping malformed {} message: {} raw={}", type.empty() ? "backend" : type,
                 e.what(), redacted_for_log(message, kRawQuoteChars));
  }
}

void SaasConnector::handle_prepare_session(const json& message) {
  try {
    const PrepareSessionParams params = parse_prepare_session(message);
    spdlog::info(
        "SaasConnector: prepare_session id={} codec={} res={} fps={} bitrate={}kbps hide_desktop={} launch_steam={} "
        "steam_app_id={}",
        params.session_id, params.codec, params.resolution, params.max_fps, params.bitrate_kbps, params.hide_desktop,
        params.launch_steam, params.steam_app_id.empty() ? "<none>" : params.steam_app_id);
    if (on_prepare_) on_prepare_(params);
  } catch (const std::exception& e) {
    // The raw text would carry the session's master key: log it redacted.
    spdlog::error("SaasConnector: error processing prepare_session: {} raw={}", e.what(),
                  redacted_for_log(message, kRawQuoteChars));
  }
}

void SaasConnector::clear_cached_session_ready() { outbox_.clear_ready(); }

void SaasConnector::send_session_ready(const std::string& session_id, const std::string& public_ip,
                                       uint16_t video_port, uint16_t audio_port, uint16_t input_port) {
  std::string message = session_ready_message(session_id, public_ip, video_port, audio_port, input_port);
  outbox_.set_ready(message);
  outbox_.queue(std::move(message));
}

void SaasConnector::send_session_ended(const std::string& session_id, const std::string& reason,
                                       uint64_t duration_sec) {
  outbox_.clear_ready();
  std::string message = session_ended_message(session_id, reason, duration_sec);
  outbox_.put_terminal(session_id, message);
  outbox_.queue(std::move(message));
}

void SaasConnector::send_error(SessionError code, const std::string& message, const std::string& session_id) {
  std::string text = error_message(code, message, session_id);
  if (!session_id.empty()) outbox_.put_terminal(session_id + "#err", text);
  outbox_.queue(std::move(text));
}

}  // namespace vn::network
