#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "network/backend/backend_messages.h"
#include "network/backend/backend_outbox.h"
#include "network/backend/backend_websocket.h"
#include "network/backend/prepare_session_params.h"
#include "network/backend/session_backend.h"

namespace asio {
class io_context;
}

namespace vn::network {

struct SaasConnectorConfig {
  std::string host;
  uint16_t port = 443;
  bool tls_requested = false;  // asked for by port 443; the connector speaks plain ws:// regardless
  std::string server_id;
  std::string agent_token;  // sent in the upgrade request
  BackendRegistration registration;
  // The heartbeat's figures, sampled on the connector thread every heartbeat.
  // Empty: zeros.
  std::function<BackendLoad()> sample_load;
};

// The product's timing. Tests make the connector's clock run faster with
// `time_scale`: every wait lasts 1/time_scale of its nominal length while
// logs and rules keep the nominal milliseconds.
struct SaasConnectorTimings {
  uint32_t initial_retry_ms = 1000;
  uint32_t max_retry_ms = 30000;
  uint32_t retry_step_ms = 100;  // stop() is noticed between steps
  uint32_t heartbeat_interval_ms = 5000;
  uint32_t idle_wait_ms = 20;  // pump wait when nothing is readable
  uint32_t time_scale = 1;
  BackendWebSocketLimits limits;
};

// The agent's connection to the service backend: registers the machine,
// sends heartbeats, hands prepare_session and terminate_session requests to
// the callbacks, and reports sessions. One thread of its own, for the
// agent's life, owns the socket and reconnects with a doubling back-off;
// reports made while disconnected survive in the outbox's caches.
//
// Threads: set the callbacks before start(); they run on the connector
// thread. The SessionBackend calls may come from any thread and only queue.
class SaasConnector : public SessionBackend {
 public:
  using PrepareCallback = std::function<void(const PrepareSessionParams&)>;
  using TerminateCallback = std::function<void(const std::string& session_id, const std::string& reason)>;

  // `io` provides the socket service and outlives the connector.
  SaasConnector(asio::io_context& io, SaasConnectorConfig config, SaasConnectorTimings timings = {});
  ~SaasConnector() override;  // stop(), then wipes the agent token
  SaasConnector(const SaasConnector&) = delete;
  SaasConnector& operator=(const SaasConnector&) = delete;

  void set_prepare_callback(PrepareCallback callback);
  void set_terminate_callback(TerminateCallback callback);

  void start();
  // Ends the connection and joins the thread; harmless twice.
  void stop();
  bool running() const { return running_.load(); }
  bool connected() const { return connected_.load(); }

  void clear_cached_session_ready() override;
  void send_session_ready(const std::string& session_id, const std::string& public_ip, uint16_t video_port,
                          uint16_t audio_port, uint16_t input_port) override;
  void send_session_ended(const std::string& session_id, const std::string& reason,
                          uint64_t duration_sec) override;
  void send_error(SessionError code, const std::string& message, const std::string& session_id) override;

  // Dispatches one inbound text message. Connector thread (public for tests
  // and the fuzz target). Logs no part of `text` (it can hold a master key);
  // wipes the secret values of its parsed copy. The caller wipes `text`.
  void handle_message(const std::string& text);

 private:
  void thread_body();
  // True when the WebSocket came up.
  bool run_connection();
  void pump(BackendWebSocket& socket);
  void queue_heartbeat();
  void handle_prepare_session(const nlohmann::json& message);
  uint64_t now_ms() const;
  void sleep_ms(uint32_t ms) const;

  asio::io_context& io_;
  SaasConnectorConfig config_;
  SaasConnectorTimings timings_;
  PrepareCallback on_prepare_;
  TerminateCallback on_terminate_;
  BackendOutbox outbox_;
  std::atomic<bool> running_{false};
  std::atomic<bool> connected_{false};
  std::thread thread_;
};

}  // namespace vn::network
