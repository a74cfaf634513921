#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// A stand-in for the service backend: a WebSocket server that speaks the
// backend's side of the agent connection on loopback or any address. It checks
// the upgrade path and the agent-token header, records everything the agent
// sends, and sends scripted messages, control frames, fragmented messages and
// crafted raw bytes. Tests drive it in-process; the test_backend program wraps
// it for operators.
//
// Threads: the server runs on a thread of its own; every public operation may
// be called from any thread. One agent connection is served at a time (a new
// connection replaces the previous one, which is closed).
namespace vn::tools {

// How an upgrade request is answered.
enum class UpgradeMode {
  kAccept,       // a valid 101 upgrade (after the path and token checks)
  kNeverAnswer,  // read the request, then say nothing and keep the socket open
  kGarbage,      // send non-HTTP bytes and close
  kRawResponse,  // send `raw_response` as it is and close
};

struct TestBackendOptions {
  std::string bind_address = "127.0.0.1";
  uint16_t port = 0;          // 0: an ephemeral port (see port())
  std::string agent_token;    // expected agent-token header; empty: any value, even none
  std::string path = "/agent/connect";
};

// One upgrade request as it arrived, whatever the answer was.
struct UpgradeRequest {
  std::string raw;                  // the bytes up to and including the empty line
  std::vector<std::string> lines;   // `raw` split at CR LF, without the final empty line
  std::string target;               // e.g. "/agent/connect"
  std::string agent_token;          // the agent-token header's value ("" when absent)
  bool accepted = false;            // a 101 was sent
};

// One complete text or binary message from the agent.
struct ReceivedMessage {
  int connection = 0;               // 1-based number of the accepted connection it came on
  std::string text;
  nlohmann::json json;              // discarded (is_discarded()) when `text` is not JSON
  std::string type;                 // json["type"] when it is a string, else ""
  std::chrono::steady_clock::time_point at;
};

// Something that happened on the server, in the order it happened (for live
// logs such as the test_backend program's).
struct TestBackendEvent {
  enum class Kind {
    kConnected,     // a 101 was sent: `connection`, `detail` = the agent-token
    kRejected,      // the upgrade got an HTTP error: `status`, `detail` = the target
    kMessage,       // `message` arrived
    kPong,          // a pong control frame: `connection`, `detail` = its payload
    kDisconnected,  // accepted connection `connection` ended: `detail` = why
  };
  Kind kind = Kind::kConnected;
  int connection = 0;
  int status = 0;
  std::string detail;
  ReceivedMessage message;
};

class TestBackend {
 public:
  explicit TestBackend(TestBackendOptions options = {});
  ~TestBackend();  // stop()
  TestBackend(const TestBackend&) = delete;
  TestBackend& operator=(const TestBackend&) = delete;

  // Binds and listens, then serves on its own thread. False (with the reason
  // on stderr) when the address cannot be bound.
  bool start();
  // Closes the listener and the connection and joins the thread; harmless twice.
  void stop();
  uint16_t port() const;

  // Called on the server thread for each event; set it before start(). Inside
  // it, send_*() and drop() are queued and return at once (true when queued),
  // since the server thread cannot wait for itself; wait_*() must not be used.
  void set_event_handler(std::function<void(const TestBackendEvent&)> handler);

  // How upgrade requests from now on are answered (kAccept at start).
  void set_upgrade_mode(UpgradeMode mode, std::string raw_response = {});

  // Scripted sends on the current connection, in call order. False when no
  // agent is connected. They return once the bytes are written.
  bool send_text(const std::string& text);
  bool send_json(const nlohmann::json& message);
  // `text` cut into `pieces` frames: a text frame without FIN, continuations, FIN on the last.
  bool send_fragmented(const std::string& text, size_t pieces);
  bool send_ping(const std::string& payload);  // a WebSocket ping control frame
  bool send_close(uint16_t code, const std::string& reason);
  // Bytes written to the TCP stream as they are, for frames no valid server
  // sends (oversized lengths, unknown opcodes, stray continuations).
  bool send_raw(const std::string& bytes);
  // Closes the TCP connection without a close frame.
  bool drop();

  // Waits until at least `count` connections were accepted (101 sent) since start or clear().
  bool wait_connections(int count, std::chrono::milliseconds timeout);
  // Waits until no agent is connected.
  bool wait_disconnected(std::chrono::milliseconds timeout);
  // Waits for a message, among all received so far (not only new ones), that `match` accepts.
  std::optional<ReceivedMessage> wait_message(const std::function<bool(const ReceivedMessage&)>& match,
                                              std::chrono::milliseconds timeout);
  // Shorthand: the `nth` (1-based) message of `type`.
  std::optional<ReceivedMessage> wait_type(const std::string& type, std::chrono::milliseconds timeout,
                                           int nth = 1);

  bool connected() const;
  int connection_count() const;                 // accepted connections since start or clear()
  std::vector<UpgradeRequest> requests() const;  // every upgrade request, in order
  std::vector<ReceivedMessage> messages() const;
  std::vector<ReceivedMessage> messages_of(const std::string& type) const;
  std::vector<std::string> pongs() const;        // payloads of pong control frames from the agent
  // Forgets requests, messages, pongs and the connection count.
  void clear();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vn::tools
