#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/base/session_error.h"
#include "network/control/control_messages.h"
#include "network/control/launcher_auth.h"

namespace asio {
class io_context;
}

namespace vn::network {

// The defaults are the product's; tests pass shorter ones.
struct TcpControlTimeouts {
  std::chrono::milliseconds accept_timer{60'000};  // cancels a pending accept
  std::chrono::milliseconds accept_wait{65'000};   // handshake thread's limit for the accept
  std::chrono::milliseconds auth_timer{15'000};    // cancels a pending auth read
  std::chrono::milliseconds auth_wait{20'000};     // handshake thread's limit for the auth read
  std::chrono::milliseconds wait_slice{50};        // I/O slice between abort checks
  std::chrono::milliseconds stop_wait{2'000};      // stop()'s wait for the strand
};

// The launcher-facing TCP endpoint of one session: accepts one launcher,
// checks its auth line, sends the session keys, then reads its control
// messages on the same connection. Line-framed JSON both ways; see
// docs/control-channel.md.
//
// Threads: handshake() runs on the caller's thread, which must be the only one
// running the I/O context meanwhile. After it returned true the caller reads
// the keys and udp_destination(), sets the callbacks and calls
// start_control_loop(); from then on reads, callbacks and replies run on the
// thread(s) running the I/O context, one at a time through a strand. Once
// handshake() returned, stop() may be called from any thread, including from
// inside a callback; a handshake in progress is ended through `abort`. The I/O
// context must outlive the server; handlers still queued after destruction
// keep only the internal state alive, and never call a callback.
class TcpControlServer {
 public:
  // Receive buffer limit, shared by the auth read and the control reads.
  static constexpr size_t kMaxLineBytes = 16384;

  // `master_key`: the backend's key (derivation only when exactly 32 bytes);
  // `expected_token_sha256`: hex digest of the session token, may be empty.
  TcpControlServer(asio::io_context& io, std::vector<uint8_t> master_key, std::string expected_token_sha256,
                   TcpControlTimeouts timeouts = {});
  ~TcpControlServer();  // stop(); keys wiped
  TcpControlServer(const TcpControlServer&) = delete;
  TcpControlServer& operator=(const TcpControlServer&) = delete;

  // Listens on 0.0.0.0:`port`, accepts one launcher, verifies its auth line
  // and writes session_ready. Blocks, running the I/O context itself; `abort`
  // (may be empty) is polled every wait slice. True when session_ready was
  // sent; otherwise error_code() says why and the connection is closed.
  bool handshake(uint16_t port, const std::function<bool()>& abort);

  // Address for UDP media after a successful handshake; empty when unknown.
  // Call before start_control_loop() or from the I/O thread.
  std::string udp_destination() const;

  // 32 bytes each after a successful handshake.
  const std::vector<uint8_t>& video_key() const;
  const std::vector<uint8_t>& audio_key() const;
  const std::vector<uint8_t>& input_key() const;
  // Why the last handshake failed: kAuthFail, kSessionAborted,
  // kHandshakeTimeout or kAuthRejected.
  SessionError error_code() const;
  // True from session_ready until stop() or a failed control read. Any thread.
  bool connected() const;
  // The launcher's auth values and its udp_ip after the override rules.
  const StreamRequest& stream_request() const;
  const std::string& udp_ip() const;

  // Set before start_control_loop().
  void set_stats_callback(std::function<void(const ClientStats&)> callback);
  void set_command_callback(std::function<void(const std::string&)> callback);
  void set_settings_callback(std::function<void(const SettingsChange&)> callback);

  // Starts reading control messages when the client socket is open.
  void start_control_loop();
  // Ends the session's connection: no callback runs once it returned (unless
  // the strand was stuck for the whole stop wait). Harmless twice.
  void stop();
  // Shuts down and closes the client socket and the acceptor. Harmless twice.
  // From the thread running the I/O context, or while none does; else stop().
  void close();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vn::network
