#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "network/backend/backend_socket.h"
#include "network/backend/websocket_frame.h"

namespace vn::network {

// Deadlines of the backend connection. The upgrade answer and every frame
// have one deadline each, so that a backend that stops talking mid-way, or
// trickles a byte now and then, cannot hold the connector; an idle
// connection between frames is kept alive by TCP keep-alive.
struct BackendWebSocketLimits {
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds handshake_timeout{10'000};  // the whole upgrade answer
  std::chrono::milliseconds frame_timeout{30'000};      // a whole frame, in or out, from its first byte
  size_t max_response_header = 16384;                   // upgrade answer header block
};

// The connector's WebSocket client over plain TCP (ws://): connect, upgrade,
// masked text and pong frames out, server frames in. The connector's thread
// alone uses it. Every failure after the upgrade throws std::runtime_error:
// the connection is then over and the caller reconnects.
//
// Secrets: the agent token (kept for the upgrade request) and every buffer
// that held received bytes (which can carry a session's master key) are
// wiped before they are freed or reused.
class BackendWebSocket {
 public:
  // `time_scale` (tests) divides every deadline of `limits`; log lines keep
  // the nominal milliseconds.
  BackendWebSocket(asio::io_context& io, std::string host, uint16_t port, std::string agent_token,
                   std::function<bool()> abort, BackendWebSocketLimits limits = {}, uint32_t time_scale = 1);
  ~BackendWebSocket();
  BackendWebSocket(const BackendWebSocket&) = delete;
  BackendWebSocket& operator=(const BackendWebSocket&) = delete;

  // Logs "SaasConnector: TCP connect failed: {}" and returns false on failure.
  bool connect_tcp();
  // Sends the upgrade request and checks the answer; logs why it failed.
  bool websocket_handshake();

  void send_text(std::string_view text);
  void send_pong(std::string_view payload);

  // Bytes readable now (including any that arrived with the upgrade answer).
  size_t readable_bytes();
  // Waits up to `timeout` for readable bytes; throws at once when the
  // backend has closed or reset the connection and nothing is left to read.
  bool wait_readable(std::chrono::milliseconds timeout);
  // Reads one frame and answers pings itself; returns a message when one is
  // complete. Throws when the connection ends (socket error, close frame, a
  // size limit, a frame not complete within frame_timeout of its first byte).
  // The caller wipes the message it gets (wipe_capacity) once handled.
  std::optional<std::string> read_frame();

  void close();

 private:
  std::chrono::milliseconds scaled(std::chrono::milliseconds nominal) const;
  void send_frame(ws::Opcode opcode, std::string_view payload);
  void read_bytes(void* data, size_t size, std::chrono::steady_clock::time_point deadline);
  void read_rejection_body(std::string& response, std::chrono::steady_clock::time_point deadline);
  void drop_pending();

  BackendSocket socket_;
  std::string host_;
  uint16_t port_;
  std::string agent_token_;
  BackendWebSocketLimits limits_;
  uint32_t time_scale_;
  std::function<bool()> abort_;
  std::string pending_;     // bytes read past the upgrade answer, consumed first
  size_t pending_at_ = 0;   // the first of them not consumed yet
  ws::MessageAssembler assembler_;
};

}  // namespace vn::network
