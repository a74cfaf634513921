#include "network/backend/backend_websocket.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/base/log_text.h"
#include "core/base/secret_wipe.h"

namespace vn::network {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr size_t kResponseQuoteChars = 256;
constexpr auto kRejectionBodyWait = std::chrono::milliseconds(500);

// Reads what arrives into `response` past its size, at most up to
// `max_size` (its reserved capacity, so that it never reallocates and leaves
// a copy behind). Returns the number of bytes read.
size_t read_into(BackendSocket& socket, std::string& response, size_t max_size, size_t chunk,
                 steady_clock::time_point deadline) {
  const size_t before = response.size();
  response.resize(before + std::min(chunk, max_size - before));
  size_t got = 0;
  try {
    got = socket.read_some(response.data() + before, response.size() - before, deadline);
  } catch (...) {
    response.resize(before);
    throw;
  }
  response.resize(before + got);
  return got;
}

// Replaces each occurrence of `secret` in `text` (a quoted answer could
// echo the request) before it is logged.
std::string without(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
    text.replace(at, secret.size(), "<agent-token>");
  }
  return text;
}

}  // namespace

BackendWebSocket::BackendWebSocket(asio::io_context& io, std::string host, uint16_t port, std::string agent_token,
                                   std::function<bool()> abort, BackendWebSocketLimits limits, uint32_t time_scale)
    : socket_(io, abort),
      host_(std::move(host)),
      port_(port),
      agent_token_(std::move(agent_token)),
      limits_(limits),
      time_scale_(time_scale == 0 ? 1 : time_scale),
      abort_(std::move(abort)) {}

BackendWebSocket::~BackendWebSocket() {
  close();
  wipe(agent_token_);
}

milliseconds BackendWebSocket::scaled(milliseconds nominal) const {
  return std::max(milliseconds(1), nominal / time_scale_);
}

void BackendWebSocket::drop_pending() {
  wipe(pending_);
  pending_at_ = 0;
}

bool BackendWebSocket::connect_tcp() {
  drop_pending();
  assembler_.reset();
  std::string error;
  if (!socket_.connect(host_, port_, scaled(limits_.connect_timeout), error)) {
    spdlog::warn("SaasConnector: TCP connect failed: {}", error);
    return false;
  }
  return true;
}

bool BackendWebSocket::websocket_handshake() {
  // The request carries the agent token, and the answer can carry the first
  // frames after it: both are wiped however this ends.
  std::string request;
  const WipeOnExit wipe_request(request);
  std::string response;
  const WipeOnExit wipe_response(response);
  try {
    const std::string key = ws::random_handshake_key();
    request = ws::upgrade_request(host_, key, agent_token_);
    const auto deadline = steady_clock::now() + scaled(limits_.handshake_timeout);
    socket_.write_all(request.data(), request.size(), deadline);

    // Read up to the end of the header block; what follows it is already
    // the first frame and stays in pending_.
    response.reserve(limits_.max_response_header);
    size_t header_end = std::string::npos;
    while (header_end == std::string::npos) {
      if (response.size() >= limits_.max_response_header) {
        throw std::runtime_error("upgrade response header exceeds " + std::to_string(limits_.max_response_header) +
                                 " bytes");
      }
      const size_t search_from = response.size() >= 3 ? response.size() - 3 : 0;
      try {
        read_into(socket_, response, limits_.max_response_header, 2048, deadline);
      } catch (const SocketTimeout&) {
        throw std::runtime_error("no upgrade response within " + std::to_string(limits_.handshake_timeout.count()) +
                                 " ms");
      }
      header_end = response.find(kHeaderEnd, search_from);
    }
    const size_t body_start = header_end + kHeaderEnd.size();
    const ws::UpgradeVerdict verdict =
        ws::check_upgrade_response(std::string_view(response).substr(0, body_start), key);
    if (verdict == ws::UpgradeVerdict::kAccepted) {
      // What followed the header block is already the first frame.
      drop_pending();
      pending_.assign(response, body_start);
      return true;
    }
    if (verdict == ws::UpgradeVerdict::kBadAccept) {
      spdlog::error(
          "SaasConnector: the upgrade answer's Sec-WebSocket-Accept is missing or does not match the key sent");
    }

    // A refusal explains itself in its body (a proxy's "plain HTTP request
    // sent to HTTPS port" page): take what arrives of it shortly.
    read_rejection_body(response, std::min(deadline, steady_clock::now() + kRejectionBodyWait));
    if (ws::check_upgrade_response(response, key) == ws::UpgradeVerdict::kRejectedPlainHttp) {
      spdlog::error(
          "SaasConnector: the agent speaks plain ws:// only. Use --saas-port 80 (behind a TLS-terminating proxy) "
          "or run a local TLS terminator in front of the agent.");
    }
    // One line: the answer's CR LF and other control bytes are escaped.
    std::string quoted = without(response, agent_token_);
    const WipeOnExit wipe_quoted(quoted);
    spdlog::error("SaasConnector: WebSocket handshake rejected: {}", loggable(quoted, kResponseQuoteChars));
    return false;
  } catch (const std::exception& e) {
    spdlog::warn("SaasConnector: WS handshake failed: {}", e.what());
    return false;
  }
}

void BackendWebSocket::read_rejection_body(std::string& response, steady_clock::time_point deadline) {
  try {
    while (response.size() < limits_.max_response_header) {
      if (steady_clock::now() >= deadline) return;
      read_into(socket_, response, limits_.max_response_header, 1024, deadline);
    }
  } catch (const std::exception&) {
    // Closed or quiet: judge what arrived.
  }
}

void BackendWebSocket::send_frame(ws::Opcode opcode, std::string_view payload) {
  std::array<uint8_t, 4> mask{};
  randombytes_buf(mask.data(), mask.size());
  const std::vector<uint8_t> frame = ws::encode_client_frame(opcode, payload, mask);
  try {
    socket_.write_all(frame.data(), frame.size(), steady_clock::now() + scaled(limits_.frame_timeout));
  } catch (const SocketTimeout&) {
    spdlog::warn("SaasConnector: the backend did not take a {}-byte frame within {} ms — closing", frame.size(),
                 limits_.frame_timeout.count());
    throw std::runtime_error("frame write timed out");
  }
}

void BackendWebSocket::send_text(std::string_view text) { send_frame(ws::kText, text); }

void BackendWebSocket::send_pong(std::string_view payload) {
  send_frame(ws::kPong, payload.substr(0, ws::kMaxControlPayload));
}

size_t BackendWebSocket::readable_bytes() { return (pending_.size() - pending_at_) + socket_.available(); }

bool BackendWebSocket::wait_readable(milliseconds timeout) {
  return pending_at_ < pending_.size() || socket_.wait_readable(timeout);
}

void BackendWebSocket::read_bytes(void* data, size_t size, steady_clock::time_point deadline) {
  auto* out = static_cast<uint8_t*>(data);
  const size_t from_pending = std::min(size, pending_.size() - pending_at_);
  if (from_pending > 0) {
    std::memcpy(out, pending_.data() + pending_at_, from_pending);
    pending_at_ += from_pending;
    if (pending_at_ == pending_.size()) drop_pending();
  }
  if (size > from_pending) socket_.read_exact(out + from_pending, size - from_pending, deadline);
}

std::optional<std::string> BackendWebSocket::read_frame() {
  // One deadline for the whole frame, from its first byte (the caller saw
  // it readable): a backend trickling a byte now and then cannot keep a
  // frame open past it.
  const auto deadline = steady_clock::now() + scaled(limits_.frame_timeout);
  std::string payload;
  const WipeOnExit wipe_payload(payload);
  try {
    uint8_t start_bytes[2];
    read_bytes(start_bytes, sizeof(start_bytes), deadline);
    const ws::FrameStart start = ws::parse_frame_start(start_bytes[0], start_bytes[1]);

    uint8_t extended[8];
    const size_t extended_size = ws::extended_length_bytes(start.length7);
    if (extended_size > 0) read_bytes(extended, extended_size, deadline);
    const uint64_t length = ws::payload_length(start.length7, extended);
    if (length > ws::kMaxPayloadBytes) {
      spdlog::warn("SaasConnector: WS frame payload {} bytes exceeds {} — closing", length, ws::kMaxPayloadBytes);
      throw std::runtime_error("frame too large");
    }

    std::array<uint8_t, 4> mask{};
    if (start.masked) read_bytes(mask.data(), mask.size(), deadline);
    payload.resize(static_cast<size_t>(length));
    if (length > 0) read_bytes(payload.data(), payload.size(), deadline);
    if (start.masked) ws::apply_mask(reinterpret_cast<uint8_t*>(payload.data()), payload.size(), mask);

    ws::FrameOutcome outcome = assembler_.on_frame(start.fin, start.opcode, std::move(payload));
    const WipeOnExit wipe_pong(outcome.pong_payload);
    switch (outcome.action) {
      case ws::FrameOutcome::Action::kMessage:
        return std::move(outcome.message);
      case ws::FrameOutcome::Action::kPong:
        send_pong(outcome.pong_payload);
        return std::nullopt;
      case ws::FrameOutcome::Action::kClose:
        throw std::runtime_error("WebSocket connection closed");
      case ws::FrameOutcome::Action::kNone:
        return std::nullopt;
    }
    return std::nullopt;
  } catch (const SocketTimeout&) {
    spdlog::warn("SaasConnector: a backend frame was not complete within {} ms of its first byte — closing",
                 limits_.frame_timeout.count());
    throw std::runtime_error("frame timed out");
  }
}

void BackendWebSocket::close() {
  socket_.close();
  drop_pending();
  assembler_.reset();
}

}  // namespace vn::network
