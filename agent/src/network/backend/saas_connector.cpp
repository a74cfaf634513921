#include "network/backend/saas_connector.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "core/base/crash_handler.h"
#include "core/base/json_fields.h"
#include "core/base/log_text.h"
#include "core/base/secret_wipe.h"

namespace vn::network {
namespace {

using nlohmann::json;

// Wipes the secret values of a parsed backend message when the scope ends.
class WipeSecretFields {
 public:
  explicit WipeSecretFields(json& message) : message_(message) {}
  ~WipeSecretFields() { wipe_secret_fields(message_); }
  WipeSecretFields(const WipeSecretFields&) = delete;
  WipeSecretFields& operator=(const WipeSecretFields&) = delete;

 private:
  json& message_;
};

}  // namespace

SaasConnector::SaasConnector(asio::io_context& io, SaasConnectorConfig config, SaasConnectorTimings timings)
    : io_(io), config_(std::move(config)), timings_(timings) {
  if (timings_.time_scale == 0) timings_.time_scale = 1;
}

SaasConnector::~SaasConnector() {
  stop();
  wipe(config_.agent_token);
}

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
                          timings_.limits, timings_.time_scale);
  if (!socket.connect_tcp() || !socket.websocket_handshake()) return false;

  connected_ = true;
  spdlog::info("SaasConnector: WebSocket connected");
  // register first, then the cached reports, in one step: a report that
  // another thread makes meanwhile queues after them.
  const BackendOutbox::ConnectionStart first = outbox_.begin_connection(register_message(config_.registration));
  if (first.discarded > 0) {
    spdlog::warn("SaasConnector: discarding {} stale queued messages on reconnect", first.discarded);
  }
  spdlog::info("SaasConnector: sent register (gpu={} vram={}MB port_base={})", config_.registration.gpu_model,
               config_.registration.gpu_vram_mb, config_.registration.port_base);
  if (first.ready_resent) spdlog::info("SaasConnector: re-sending cached session_ready after reconnect");
  for (const std::string& key : first.terminal_keys) {
    spdlog::info("SaasConnector: re-sending cached terminal message after reconnect (key={})", loggable(key));
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
    // when the backend closes or resets the connection: wait_readable()
    // throws then, without waiting for a write to fail.
    if (socket.readable_bytes() > 0 || socket.wait_readable(idle_wait)) {
      std::optional<std::string> message = socket.read_frame();
      if (message) {
        // It can carry a session's master key.
        const WipeOnExit wipe_message(*message);
        handle_message(*message);
      }
    }
  }
}

void SaasConnector::queue_heartbeat() {
  spdlog::debug("SaasConnector: queueing heartbeat");
  outbox_.queue(heartbeat_message(config_.sample_load ? config_.sample_load() : BackendLoad{}));
}

void SaasConnector::handle_message(const std::string& text) {
  // No line here quotes the text: a message cut short or of the wrong shape
  // can still hold a master key. They say what was wrong instead.
  json message;
  try {
    message = json::parse(text);
  } catch (const json::exception& e) {
    // e.what() quotes the text read last; only the position is logged.
    const auto* parse_error = dynamic_cast<const json::parse_error*>(&e);
    spdlog::warn("SaasConnector: invalid JSON ({} bytes, parse error at byte {}) — dropped", text.size(),
                 parse_error != nullptr ? parse_error->byte : 0);
    return;
  }
  const WipeSecretFields wipe_secrets(message);
  if (!message.is_object()) {
    spdlog::warn("SaasConnector: message is not a JSON object (a JSON {}, {} bytes) — dropped", message.type_name(),
                 text.size());
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
      spdlog::debug("SaasConnector: unhandled message type '{}'", loggable(type));
    }
  } catch (const std::exception& e) {
    // A malformed message is dropped; the connection stays up. The reason
    // names the key and what was wrong with it, never its value.
    spdlog::warn("SaasConnector: dropping malformed {} message ({} bytes): {}",
                 type.empty() ? std::string("backend") : loggable(type), text.size(), loggable(e.what()));
  }
}

void SaasConnector::handle_prepare_session(const json& message) {
  try {
    const PrepareSessionParams params = parse_prepare_session(message);
    spdlog::info(
        "SaasConnector: prepare_session id={} codec={} res={} fps={} bitrate={}kbps hide_desktop={} launch_steam={} "
        "steam_app_id={}",
        loggable(params.session_id), loggable(params.codec), loggable(params.resolution), params.max_fps,
        params.bitrate_kbps, params.hide_desktop, params.launch_steam,
        params.steam_app_id.empty() ? std::string("<none>") : loggable(params.steam_app_id));
    if (on_prepare_) on_prepare_(params);
  } catch (const std::exception& e) {
    // Not the message itself: it carries the session's master key and token hash.
    spdlog::error("SaasConnector: error processing prepare_session: {}", loggable(e.what()));
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
