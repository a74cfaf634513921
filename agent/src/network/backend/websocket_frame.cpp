#include "network/backend/websocket_frame.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "core/base/ascii_text.h"
#include "core/base/log_text.h"
#include "network/backend/sha1.h"
#include "core/base/secret_wipe.h"

namespace vn::network::ws {

std::string random_handshake_key() {
  uint8_t nonce[16];
  randombytes_buf(nonce, sizeof(nonce));
  char text[sodium_base64_ENCODED_LEN(16, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(text, sizeof(text), nonce, sizeof(nonce), sodium_base64_VARIANT_ORIGINAL);
  return text;
}

std::string upgrade_request(std::string_view host, std::string_view key, std::string_view agent_token) {
  // The fixed text around host, key and token, reserved in full with them:
  // growing would free a copy of the token unwiped.
  static constexpr std::string_view kFixed[] = {
      "GET /agent/connect HTTP/1.1\r\n",
      "Host: \r\n",
      "Upgrade: websocket\r\n",
      "Connection: Upgrade\r\n",
      "Sec-WebSocket-Key: \r\n",
      "Sec-WebSocket-Version: 13\r\n",
      "agent-token: \r\n",
      "\r\n",
  };
  size_t size = host.size() + key.size() + agent_token.size();
  for (const std::string_view part : kFixed) size += part.size();
  std::string request;
  request.reserve(size);
  request += "GET /agent/connect HTTP/1.1\r\n";
  request += "Host: ";
  request += host;
  request += "\r\n";
  request += "Upgrade: websocket\r\n";
  request += "Connection: Upgrade\r\n";
  request += "Sec-WebSocket-Key: ";
  request += key;
  request += "\r\n";
  request += "Sec-WebSocket-Version: 13\r\n";
  request += "agent-token: ";
  request += agent_token;
  request += "\r\n";
  request += "\r\n";
  return request;
}

std::string websocket_accept_for(std::string_view key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string keyed(key);
  keyed += kGuid;
  const std::array<uint8_t, 20> digest = sha1(keyed);
  char text[sodium_base64_ENCODED_LEN(20, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(text, sizeof(text), digest.data(), digest.size(), sodium_base64_VARIANT_ORIGINAL);
  return text;
}

namespace {

std::string_view trimmed(std::string_view text) { return trim_chars(text, " \t\r"); }

// True when the comma-separated `list` holds `token` (without case).
bool has_token(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (equal_ignoring_case(trimmed(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// "HTTP/1.x 101" with nothing or a reason phrase after it.
bool is_switching_protocols(std::string_view status_line) {
  if (status_line.size() < 12 || status_line.substr(0, 7) != "HTTP/1." || status_line[8] != ' ') return false;
  return status_line.substr(9, 3) == "101" && (status_line.size() == 12 || status_line[12] == ' ');
}

}  // namespace

UpgradeVerdict check_upgrade_response(std::string_view response, std::string_view key) {
  size_t line_end = response.find('\n');
  const std::string_view status_line = trimmed(response.substr(0, line_end));
  if (!is_switching_protocols(status_line)) {
    const auto contains = [response](std::string_view what) { return response.find(what) != std::string_view::npos; };
    if (contains("400") && (contains("HTTPS port") || contains("plain HTTP"))) {
      return UpgradeVerdict::kRejectedPlainHttp;
    }
    return UpgradeVerdict::kRejected;
  }

  bool upgrade = false;
  bool connection = false;
  bool accept = false;
  const std::string expected_accept = websocket_accept_for(key);
  while (line_end != std::string_view::npos) {
    const size_t start = line_end + 1;
    line_end = response.find('\n', start);
    const std::string_view line = trimmed(response.substr(start, line_end == std::string_view::npos
                                                                     ? std::string_view::npos
                                                                     : line_end - start));
    if (line.empty()) break;  // the end of the header block
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trimmed(line.substr(0, colon));
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equal_ignoring_case(name, "Upgrade")) upgrade = upgrade || equal_ignoring_case(value, "websocket");
    if (equal_ignoring_case(name, "Connection")) connection = connection || has_token(value, "upgrade");
    if (equal_ignoring_case(name, "Sec-WebSocket-Accept")) accept = accept || value == expected_accept;
  }
  if (!upgrade || !connection) return UpgradeVerdict::kRejected;
  return accept ? UpgradeVerdict::kAccepted : UpgradeVerdict::kBadAccept;
}

std::vector<uint8_t> encode_client_frame(Opcode opcode, std::string_view payload,
                                         const std::array<uint8_t, 4>& mask) {
  const uint64_t length = payload.size();
  std::vector<uint8_t> frame;
  frame.reserve(14 + payload.size());
  frame.push_back(static_cast<uint8_t>(0x80 | opcode));
  if (length <= 125) {
    frame.push_back(static_cast<uint8_t>(0x80 | length));
  } else if (length <= 65535) {
    frame.push_back(0x80 | 126);
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length));
  } else {
    frame.push_back(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(length >> shift));
  }
  frame.insert(frame.end(), mask.begin(), mask.end());
  const size_t start = frame.size();
  frame.insert(frame.end(), payload.begin(), payload.end());
  apply_mask(frame.data() + start, payload.size(), mask);
  return frame;
}

FrameStart parse_frame_start(uint8_t byte0, uint8_t byte1) {
  FrameStart start;
  start.fin = (byte0 & 0x80) != 0;
  start.opcode = byte0 & 0x0F;
  start.masked = (byte1 & 0x80) != 0;
  start.length7 = byte1 & 0x7F;
  return start;
}

size_t extended_length_bytes(uint8_t length7) {
  if (length7 == 126) return 2;
  if (length7 == 127) return 8;
  return 0;
}

uint64_t payload_length(uint8_t length7, const uint8_t* extended) {
  const size_t bytes = extended_length_bytes(length7);
  if (bytes == 0) return length7;
  uint64_t length = 0;
  for (size_t i = 0; i < bytes; ++i) length = (length << 8) | extended[i];
  return length;
}

void apply_mask(uint8_t* data, size_t size, const std::array<uint8_t, 4>& mask) {
  for (size_t i = 0; i < size; ++i) data[i] ^= mask[i & 3];
}

MessageAssembler::~MessageAssembler() { reset(); }

void MessageAssembler::append_fragment(const std::string& payload) {
  const size_t needed = fragment_.size() + payload.size();
  if (needed > fragment_.capacity()) {
    // Growing in place would free the old buffer with the text so far in
    // it: move to a larger one by hand and wipe the old one.
    std::string larger;
    larger.reserve(std::min<size_t>(std::max(needed, fragment_.capacity() * 2), kMaxPayloadBytes));
    larger += fragment_;
    wipe(fragment_);
    fragment_.swap(larger);
  }
  fragment_ += payload;
}

FrameOutcome MessageAssembler::on_frame(bool fin, uint8_t opcode, std::string payload) {
  // The payload can carry a secret (a master key): wiped however this ends;
  // what moved on to the outcome or the fragment is the caller's to wipe.
  const WipeOnExit wipe_payload(payload);
  FrameOutcome outcome;
  using Action = FrameOutcome::Action;
  switch (opcode) {
    case kClose:
      if (payload.empty()) {
        spdlog::warn("SaasConnector: received WS close frame (empty)");
      } else if (payload.size() < 2) {
        spdlog::warn("SaasConnector: received WS close frame (no code)");
      } else {
        const unsigned code = (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]);
        spdlog::warn("SaasConnector: received WS close frame code={} reason='{}'", code,
                     loggable(std::string_view(payload).substr(2), kMaxControlPayload));
      }
      outcome.action = Action::kClose;
      return outcome;
    case kPing:
      spdlog::debug("SaasConnector: received WS ping control frame ({}B payload)", payload.size());
      if (payload.size() > kMaxControlPayload) payload.resize(kMaxControlPayload);
      outcome.action = Action::kPong;
      outcome.pong_payload = std::move(payload);
      return outcome;
    case kPong:
      spdlog::debug("SaasConnector: received WS pong control frame");
      return outcome;
    case kContinuation:
      if (!fragment_active_) {
        spdlog::warn("SaasConnector: WS continuation frame with no active fragment — dropping");
        return outcome;
      }
      if (fragment_.size() + payload.size() > kMaxPayloadBytes) {
        spdlog::warn("SaasConnector: WS fragmented message exceeds {} bytes — closing", kMaxPayloadBytes);
        reset();
        outcome.action = Action::kClose;
        return outcome;
      }
      append_fragment(payload);
      if (fin) {
        outcome.action = Action::kMessage;
        outcome.message = std::move(fragment_);
        reset();
      }
      return outcome;
    case kText:
    case kBinary:
      if (fragment_active_) {
        spdlog::warn("SaasConnector: WS data frame during active fragment — dropping stale fragment");
        reset();
      }
      if (fin) {
        if (payload.size() > kMaxPayloadBytes) {
          spdlog::warn("SaasConnector: WS message exceeds {} bytes — closing", kMaxPayloadBytes);
          outcome.action = Action::kClose;
          return outcome;
        }
        outcome.action = Action::kMessage;
        outcome.message = std::move(payload);
      } else {
        fragment_active_ = true;
        fragment_ = std::move(payload);
      }
      return outcome;
    default:
      spdlog::warn("SaasConnector: ignoring WS frame with opcode 0x{:x}", opcode);
      return outcome;
  }
}

void MessageAssembler::reset() {
  wipe(fragment_);
  fragment_.shrink_to_fit();
  fragment_active_ = false;
}

}  // namespace vn::network::ws
