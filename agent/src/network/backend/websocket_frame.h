#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The client side of RFC 6455 as the backend connection uses it: the upgrade
// request and response check, masked client frames, and the assembly of
// server frames into messages under the agent's size limits. No I/O here.
namespace vn::network::ws {

// Largest frame payload and largest assembled message accepted from the backend.
inline constexpr uint64_t kMaxPayloadBytes = 1048576;
// Control frames carry at most this many payload bytes.
inline constexpr size_t kMaxControlPayload = 125;

enum Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// Base64 (standard alphabet, padded) of 16 random bytes.
std::string random_handshake_key();

// The upgrade request: "GET /agent/connect HTTP/1.1", Host (the name alone,
// no port), Upgrade, Connection, Sec-WebSocket-Key, Sec-WebSocket-Version 13,
// agent-token, each line ending in CR LF, then an empty line.
std::string upgrade_request(std::string_view host, std::string_view key, std::string_view agent_token);

// The Sec-WebSocket-Accept a server answers `key` with: Base64 of the SHA-1
// of the key followed by the protocol's GUID.
std::string websocket_accept_for(std::string_view key);

enum class UpgradeVerdict {
  kAccepted,           // status 101, Upgrade: websocket, Connection: upgrade, the accept value for our key
  kBadAccept,          // a 101 whose Sec-WebSocket-Accept is missing or not the one for our key
  kRejected,           // anything else
  kRejectedPlainHttp,  // a 400 that says a plain request reached a TLS port
};
// Reads the response header block (the status line, then "Name: value" lines;
// names without case, values trimmed) against the `key` that was sent.
UpgradeVerdict check_upgrade_response(std::string_view response, std::string_view key);

// One complete client frame (FIN set): first byte 0x80 | opcode, the mask bit
// with the shortest of the three length forms, the mask, the masked payload.
std::vector<uint8_t> encode_client_frame(Opcode opcode, std::string_view payload,
                                         const std::array<uint8_t, 4>& mask);

// The first two bytes of a frame.
struct FrameStart {
  bool fin = false;
  uint8_t opcode = 0;
  bool masked = false;
  uint8_t length7 = 0;  // 0..125 the length itself; 126 / 127 announce 2 / 8 more length bytes
};
FrameStart parse_frame_start(uint8_t byte0, uint8_t byte1);
// Number of extended length bytes after the first two (0, 2 or 8).
size_t extended_length_bytes(uint8_t length7);
// The payload length from the 7-bit field and the big-endian extended bytes.
uint64_t payload_length(uint8_t length7, const uint8_t* extended);
// XORs `data` in place with `mask` repeated.
void apply_mask(uint8_t* data, size_t size, const std::array<uint8_t, 4>& mask);

// What a received frame asks the connection to do.
struct FrameOutcome {
  enum class Action {
    kNone,     // nothing to do (control frame handled, fragment stored, frame dropped)
    kMessage,  // `message` is a complete text or binary message
    kPong,     // answer with a pong carrying `pong_payload`
    kClose,    // the connection ends (close frame or a limit exceeded)
  };
  Action action = Action::kNone;
  std::string message;
  std::string pong_payload;
};

// Turns unmasked server frames into messages: fragments, control frames, the
// 1 MiB assembly limit. Logs each case. One connection; reset() for the next.
// A received message can carry a session's master key: every buffer that
// held payload bytes here (the frame's, the fragment's, an outgrown one) is
// wiped before it is freed; the outcome's message is the caller's to wipe.
class MessageAssembler {
 public:
  MessageAssembler() = default;
  ~MessageAssembler();  // reset()
  MessageAssembler(const MessageAssembler&) = delete;
  MessageAssembler& operator=(const MessageAssembler&) = delete;

  FrameOutcome on_frame(bool fin, uint8_t opcode, std::string payload);
  // Wipes and frees the unfinished message.
  void reset();
  bool fragment_active() const { return fragment_active_; }

 private:
  void append_fragment(const std::string& payload);

  std::string fragment_;
  bool fragment_active_ = false;
};

}  // namespace vn::network::ws
